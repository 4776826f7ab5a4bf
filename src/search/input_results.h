#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "scan/block_scanner.h"
#include "scan/report_line.h"
#include "search/result_format.h"
#include "search/result_options.h"

namespace bytrove {

// Writes what ends an input in the count and file modes: its count (per pattern of a set), or
// its name when it held an occurrence. Nothing in the line mode.
template <class sink_type>
void write_input_end(sink_type& sink, const result_options& options, const pattern_names& patterns,
                     std::string_view name, std::uint64_t total, member_counts& per_member,
                     std::string_view json_name = {}) {
  std::string text;
  const std::string json_path = json_name.empty() ? json_path_member(name) : std::string(json_name);
  const auto count_line = [&](const std::string* pattern, std::uint64_t count) {
    if (options.json) {
      text += "{\"type\":\"count\"," + json_path;
      if (pattern != nullptr) {
        text += ",\"pattern\":";
        append_json_string(text, *pattern);
      }
      text += ",\"count\":";
      append_decimal(text, count);
      text += "}\n";
    } else {
      text.append(name);
      text += options.null_names ? '\0' : ':';
      if (pattern != nullptr) text += *pattern + ':';
      append_decimal(text, count);
      text += '\n';
    }
  };
  if (options.mode == result_mode::count) {
    if (patterns.names.empty()) {
      count_line(nullptr, total);
    } else if (options.include_zero) {
      for (std::uint32_t m = 0; m < patterns.names.size(); ++m) {
        count_line(&patterns.names[m], per_member.of(m));
      }
    } else {
      per_member.each([&](std::uint32_t m, std::uint64_t n) { count_line(&patterns.names[m], n); });
    }
  } else if (options.mode == result_mode::files && total > 0) {
    if (options.json) {
      text = "{\"type\":\"file\"," + json_path + "}\n";
    } else {
      text.append(name);
      text += options.null_names ? '\0' : '\n';
    }
  }
  sink.write(text);
}

// The results of one input, or of one chunk of it, in every mode but the plain line per
// occurrence (which the scanners write themselves, at full speed): counts, names, a limit per
// input, JSON records, and dumps of the bytes around each occurrence. The dump needs bytes that
// may arrive only with a later block, so an occurrence waits, in order, until they have come;
// the bytes kept for that are bounded by twice the context plus the longest pattern.
template <class sink_type>
class input_results {
 public:
  input_results(const result_options& options, const pattern_names& patterns)
      : options_(options), patterns_(patterns) {
    for (const std::uint32_t m : patterns.lengths) longest_ = std::max<std::size_t>(longest_, m);
  }

  // A new input named `name`. `whole`: all of it, and finish() writes its end lines; else a
  // chunk, after `before` occurrences of the input were reported (0 if unknown). `json_name`,
  // when given, names it in JSON records in place of "path":"<name>".
  void start(std::string_view name, bool whole, std::uint64_t before,
             std::string_view json_name = {}) {
    whole_ = whole;
    before_ = before;
    found_ = 0;
    stopped_ = false;
    overflowed_ = false;
    recorded_.clear();
    recorded_members_.clear();
    recorded_lengths_.clear();
    per_member_.clear();
    pending_.clear();
    history_.clear();
    have_data_ = false;
    name_ = name;
    line_.set_name(name);
    json_name_ = json_name;
    if (options_.json) {
      json_prefix_ = "{\"type\":\"match\"," +
                     (json_name.empty() ? json_path_member(name) : json_name_) + ",\"offset\":";
    }
  }

  // Returns false once nothing more is wanted from this input.
  bool on_block(sink_type& sink, const found_block& block) {
    std::size_t count = block.count;
    if (options_.max_count != 0) {
      const std::uint64_t used = before_ + found_;
      count = static_cast<std::size_t>(std::min<std::uint64_t>(
          count, used < options_.max_count ? options_.max_count - used : 0));
    }
    switch (options_.mode) {
      case result_mode::files:
        found_ = block.count > 0 ? 1 : 0;
        if (block.count > 0) stop_after(block, 0);
        return block.count == 0;
      case result_mode::count:
        count_members(block, count);
        keep_offsets(block, count);
        break;
      case result_mode::lines:
        write_lines(sink, block, count);
        break;
    }
    found_ += count;
    if (options_.max_count == 0 || before_ + found_ < options_.max_count) return true;
    if (count > 0) stop_after(block, count - 1);
    // Dumps still waiting for the bytes after them are read on for, however the data arrives;
    // nothing more is reported.
    return !pending_.empty();
  }

  // In the count mode, also keeps the first `limit` occurrences' offsets (and patterns), so
  // their lines can be written later without searching again.
  void record(std::size_t limit) { record_limit_ = limit; }
  bool recorded_all() const { return !overflowed_; }
  std::vector<std::uint64_t>& recorded() { return recorded_; }
  std::vector<std::uint32_t>& recorded_members() { return recorded_members_; }
  std::vector<std::uint32_t>& recorded_lengths() { return recorded_lengths_; }

  // Once on_block has returned false: the input offset just past the last occurrence reported.
  // What lies after it was not needed, so a search stopped there counts bytes up to it,
  // however far its reads happened to go.
  bool stopped() const { return stopped_; }
  std::uint64_t stop_end() const { return stop_end_; }
  // The bytes from `start` that count as searched, when `read` were read from there.
  std::uint64_t bytes_from(std::uint64_t start, std::uint64_t read) const {
    return stopped_ ? stop_end_ - start : read;
  }

  // Writes the occurrences still waiting for bytes after them (the input ended first), then,
  // for a whole input, its end lines.
  void finish(sink_type& sink) {
    while (!pending_.empty()) {
      write_occurrence(sink, pending_.front(), nullptr);
      pending_.pop_front();
    }
    if (whole_) write_input_end(sink, options_, patterns_, name_, found_, per_member_, json_name_);
  }

  std::uint64_t found() const { return found_; }
  member_counts& per_member() { return per_member_; }

 private:
  struct occurrence {
    std::uint64_t offset;
    std::uint32_t member;
    std::uint32_t length;  // of the shortest match there
  };

  // The i-th occurrence of a block: a brace pattern's length varies, a plain one's does not.
  occurrence occurrence_at(const found_block& block, std::size_t i) const {
    const std::uint32_t member = member_at(block, i);
    return {block.base + block.starts[i], member,
            block.lengths != nullptr ? block.lengths[i] : patterns_.lengths[member]};
  }

  void stop_after(const found_block& block, std::size_t i) {
    stopped_ = true;
    const occurrence o = occurrence_at(block, i);
    stop_end_ = o.offset + o.length;
  }

  void keep_offsets(const found_block& block, std::size_t count) {
    if (record_limit_ == 0 || overflowed_ || count == 0) return;
    if (recorded_.size() + count > record_limit_) {
      overflowed_ = true;
      return;
    }
    for (std::size_t i = 0; i < count; ++i) {
      const occurrence o = occurrence_at(block, i);
      recorded_.push_back(o.offset);
      recorded_members_.push_back(o.member);
      recorded_lengths_.push_back(o.length);
    }
  }

  void count_members(const found_block& block, std::size_t count) {
    if (block.members == nullptr) return;
    for (std::size_t i = 0; i < count; ++i) per_member_.add(block.members[i], 1);
  }

  void write_lines(sink_type& sink, const found_block& block, std::size_t count) {
    if (options_.context == 0 && !options_.json && block.members == nullptr && !options_.colour) {
      write_report_lines(sink, line_, block.starts, count, block.base);
      return;
    }
    if (options_.context == 0) {
      for (std::size_t i = 0; i < count; ++i)
        write_occurrence(sink, occurrence_at(block, i), &block);
      return;
    }
    if (!have_data_) {
      have_data_ = true;
      first_offset_ = block.base;
      history_base_ = block.base;
    }
    const std::uint64_t block_end = block.base + block.size;
    while (!pending_.empty() && needed_end(pending_.front()) <= block_end) {
      write_occurrence(sink, pending_.front(), &block);
      pending_.pop_front();
    }
    for (std::size_t i = 0; i < count; ++i) {
      const occurrence o = occurrence_at(block, i);
      if (pending_.empty() && needed_end(o) <= block_end) {
        write_occurrence(sink, o, &block);
      } else {
        pending_.push_back(o);
      }
    }
    keep_history(block);
  }

  static std::uint32_t member_at(const found_block& block, std::size_t i) {
    return block.members == nullptr ? 0 : block.members[i];
  }

  std::uint64_t needed_end(const occurrence& o) const {
    const std::uint64_t end = o.offset + o.length + options_.context;
    return std::min(end, options_.range_end);
  }

  // Keeps the bytes that a later occurrence's dump may need from before the next block: the
  // context before anything the next block can report, and all of a waiting occurrence's.
  void keep_history(const found_block& block) {
    const std::uint64_t block_end = block.base + block.size;
    const std::uint64_t back =
        std::min<std::uint64_t>(block_end - first_offset_, longest_ - 1 + options_.context);
    std::uint64_t keep_from = block_end - back;
    if (!pending_.empty()) {
      const std::uint64_t front = pending_.front().offset;
      keep_from = std::min(keep_from, front - std::min(front - first_offset_, options_.context));
    }
    spare_.clear();
    gather(keep_from, block_end, &block, spare_);
    history_.swap(spare_);
    history_base_ = keep_from;
  }

  // Appends the input bytes [lo, hi) to `out`, from the kept history and the current block.
  void gather(std::uint64_t lo, std::uint64_t hi, const found_block* block,
              std::vector<std::uint8_t>& out) const {
    const std::uint64_t split = block != nullptr ? std::max(lo, std::min(hi, block->base)) : hi;
    if (split > lo) {
      const std::uint8_t* from = history_.data() + (lo - history_base_);
      out.insert(out.end(), from, from + (split - lo));
    }
    if (split < hi) {
      const std::uint8_t* from = block->data + (split - block->base);
      out.insert(out.end(), from, from + (hi - split));
    }
  }

  void write_occurrence(sink_type& sink, const occurrence& o, const found_block* block) {
    text_.clear();
    const std::string* pattern = patterns_.names.empty() ? nullptr : &patterns_.names[o.member];
    std::uint64_t lo = o.offset;
    if (options_.context != 0) {
      lo = std::max(
          {first_offset_, options_.range_start, o.offset - std::min(o.offset, options_.context)});
      const std::uint64_t available =
          block != nullptr ? block->base + block->size : history_base_ + history_.size();
      dump_.clear();
      gather(lo, std::min(needed_end(o), available), block, dump_);
    }
    if (options_.json) {
      text_ = json_prefix_;
      append_decimal(text_, o.offset);
      if (pattern != nullptr) {
        text_ += ",\"pattern\":";
        append_json_string(text_, *pattern);
      }
      if (options_.context != 0) {
        text_ += ",\"length\":";
        append_decimal(text_, o.length);
        text_ += ",\"context_offset\":";
        append_decimal(text_, lo);
        text_ += ",\"context\":\"";
        append_hex_bytes(text_, dump_.data(), dump_.size());
        text_ += '"';
      }
      text_ += "}\n";
    } else {
      text_.resize(line_.max_size());
      text_.resize(line_.write(text_.data(), o.offset));
      if (options_.colour) colour_report_line(text_);
      if (pattern != nullptr) {
        text_.pop_back();  // the line's "\n" goes after the pattern's name
        text_ += " [" + *pattern + "]\n";
      }
      if (options_.context != 0) {
        append_hex_dump(text_, dump_.data(), dump_.size(), lo, o.offset, o.offset + o.length,
                        options_.colour);
      }
    }
    sink.write(text_);
  }

  const result_options& options_;
  const pattern_names& patterns_;
  std::size_t longest_ = 1;
  bool whole_ = true;
  std::uint64_t before_ = 0;
  std::uint64_t found_ = 0;
  bool stopped_ = false;
  std::uint64_t stop_end_ = 0;
  std::size_t record_limit_ = 0;
  bool overflowed_ = false;
  std::vector<std::uint64_t> recorded_;
  std::vector<std::uint32_t> recorded_members_;
  std::vector<std::uint32_t> recorded_lengths_;
  member_counts per_member_;
  std::string name_;
  report_line_format line_;
  std::string json_name_;
  std::string json_prefix_;
  std::string text_;
  std::vector<std::uint8_t> dump_;
  // Context: the bytes kept from earlier blocks, and the occurrences waiting for bytes.
  bool have_data_ = false;
  std::uint64_t first_offset_ = 0;  // the first byte read: nothing before it is dumped
  std::uint64_t history_base_ = 0;
  std::vector<std::uint8_t> history_;
  std::vector<std::uint8_t> spare_;
  std::deque<occurrence> pending_;
};

}  // namespace bytrove
