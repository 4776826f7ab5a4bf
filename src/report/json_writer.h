#pragma once

// The JSON form of the line mode: one "match" object per occurrence, on a line of its own:
// {"type":"match","path":"<name>","offset":N[,"pattern":"<name>"]} and, with --context,
// ,"length":N,"context_offset":N,"context":"<hex>" before the closing brace. json_form writes one
// occurrence's record; json_writer those of a block. (The count and name records of the other
// modes are written by their own writers, in either form.)

#include <cstddef>
#include <string>
#include <string_view>

#include "report/occurrence.h"
#include "report/result_options.h"
#include "report/result_writer.h"

namespace bytrove {

class json_form {
 public:
  json_form(const result_options&, const pattern_names& patterns) : patterns_(patterns) {}

  void start(std::string_view name, std::string_view json_name);
  // Sets `text` to the record of `o`, with `dump`'s fields when not null.
  void format(std::string& text, const occurrence& o, const context_bytes* dump) const;

 private:
  const pattern_names& patterns_;
  std::string prefix_;  // {"type":"match","path":...,"offset":
};

// The record of every occurrence, without --context.
template <class sink_type>
class json_writer final : public result_writer<sink_type> {
 public:
  json_writer(const result_options& options, const pattern_names& patterns)
      : form_(options, patterns), patterns_(patterns) {}

  void start(std::string_view name, std::string_view json_name) override {
    form_.start(name, json_name);
  }
  void write(sink_type& sink, const found_block& block, std::size_t count) override {
    for (std::size_t i = 0; i < count; ++i) {
      form_.format(text_, occurrence_at(block, i, patterns_), nullptr);
      sink.write(text_);
    }
  }
  void finish(sink_type&, bool, std::uint64_t) override {}

 private:
  json_form form_;
  const pattern_names& patterns_;
  std::string text_;
};

}  // namespace bytrove
