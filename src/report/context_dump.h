#pragma once

// --context: the bytes around each occurrence, dumped after its record. A dump needs bytes that
// may arrive only with a later block, so an occurrence waits, in order, until they have come
// (or the input ends); the bytes kept for that are bounded by twice the context plus the longest
// pattern. context_dump keeps those bytes and the waiting occurrences; context_writer writes
// each occurrence with its dump in a form (line_form or json_form).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "report/occurrence.h"
#include "report/result_options.h"
#include "report/result_writer.h"

namespace bytrove {

class context_dump {
 public:
  context_dump(const result_options& options, const pattern_names& patterns);

  void start();
  // Hands `emit(occurrence, context_bytes)` every occurrence, in order, whose dump is complete
  // with `block`: the waiting ones first, then the first `count` of the block; keeps the rest
  // and the bytes they (and the next block's) need.
  template <class emit_fn>
  void feed(const found_block& block, std::size_t count, emit_fn emit) {
    if (!have_data_) {
      have_data_ = true;
      first_offset_ = block.base;
      history_base_ = block.base;
    }
    const std::uint64_t block_end = block.base + block.size;
    while (!pending_.empty() && needed_end(pending_.front()) <= block_end) {
      emit(pending_.front(), bytes_around(pending_.front(), &block));
      pending_.pop_front();
    }
    for (std::size_t i = 0; i < count; ++i) {
      const occurrence o = occurrence_at(block, i, patterns_);
      if (pending_.empty() && needed_end(o) <= block_end) {
        emit(o, bytes_around(o, &block));
      } else {
        pending_.push_back(o);
      }
    }
    keep_history(block);
  }
  // The input ended: hands `emit` the waiting occurrences with what came of their bytes.
  template <class emit_fn>
  void drain(emit_fn emit) {
    while (!pending_.empty()) {
      emit(pending_.front(), bytes_around(pending_.front(), nullptr));
      pending_.pop_front();
    }
  }
  bool waiting() const { return !pending_.empty(); }

 private:
  // Where the dump of `o` ends: the context after it, within the range searched.
  std::uint64_t needed_end(const occurrence& o) const {
    return std::min(o.end() + options_.context, options_.range_end);
  }
  // The dump of `o` from what is kept and `block` (null once the input ended); valid until the
  // next call.
  context_bytes bytes_around(const occurrence& o, const found_block* block);
  void keep_history(const found_block& block);
  void gather(std::uint64_t lo, std::uint64_t hi, const found_block* block,
              std::vector<std::uint8_t>& out) const;

  const result_options& options_;
  const pattern_names& patterns_;
  std::size_t longest_ = 1;
  bool have_data_ = false;
  std::uint64_t first_offset_ = 0;  // the first byte read: nothing before it is dumped
  std::uint64_t history_base_ = 0;
  std::vector<std::uint8_t> history_;  // the bytes kept from earlier blocks
  std::vector<std::uint8_t> spare_;
  std::vector<std::uint8_t> dump_;
  std::deque<occurrence> pending_;  // waiting for bytes after them
};

// Every occurrence with its dump, in `form_type` (line_form or json_form).
template <class sink_type, class form_type>
class context_writer final : public result_writer<sink_type> {
 public:
  context_writer(const result_options& options, const pattern_names& patterns)
      : form_(options, patterns), dump_(options, patterns) {}

  void start(std::string_view name, std::string_view json_name) override {
    form_.start(name, json_name);
    dump_.start();
  }
  void write(sink_type& sink, const found_block& block, std::size_t count) override {
    dump_.feed(block, count, [&](const occurrence& o, const context_bytes& bytes) {
      form_.format(text_, o, &bytes);
      sink.write(text_);
    });
  }
  bool waiting() const override { return dump_.waiting(); }
  void finish(sink_type& sink, bool, std::uint64_t) override {
    dump_.drain([&](const occurrence& o, const context_bytes& bytes) {
      form_.format(text_, o, &bytes);
      sink.write(text_);
    });
  }

 private:
  form_type form_;
  context_dump dump_;
  std::string text_;
};

}  // namespace bytrove
