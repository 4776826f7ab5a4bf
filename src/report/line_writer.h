#pragma once

// The standard form: a report line per occurrence, "offset 0x<hex> (<decimal>) in <name>".
// line_form writes one occurrence's record (the line, the pattern's name in brackets for a set,
// colours, and with --context the dump after it); line_writer writes the lines of a block,
// the plain ones through the fast path that formats in place in the sink.

#include <cstddef>
#include <string>
#include <string_view>

#include "report/occurrence.h"
#include "report/report_line.h"
#include "report/result_options.h"
#include "report/result_writer.h"

namespace bytrove {

class line_form {
 public:
  line_form(const result_options& options, const pattern_names& patterns)
      : options_(options), patterns_(patterns) {}

  void start(std::string_view name, std::string_view /*json_name*/) { line_.set_name(name); }
  // Sets `text` to the record of `o`, with `dump` after it when not null.
  void format(std::string& text, const occurrence& o, const context_bytes* dump) const;
  const report_line_format& line() const { return line_; }

 private:
  const result_options& options_;
  const pattern_names& patterns_;
  report_line_format line_;
};

// The line of every occurrence, without --context.
template <class sink_type>
class line_writer final : public result_writer<sink_type> {
 public:
  line_writer(const result_options& options, const pattern_names& patterns)
      : form_(options, patterns), patterns_(patterns), plain_(!options.colour) {}

  void start(std::string_view name, std::string_view json_name) override {
    form_.start(name, json_name);
  }
  void write(sink_type& sink, const found_block& block, std::size_t count) override {
    // Dense outputs print hundreds of millions of lines: a single pattern's plain lines are
    // formatted straight into the sink, only their numbers changing from line to line.
    if (plain_ && block.members == nullptr) {
      write_report_lines(sink, form_.line(), block.starts, count, block.base);
      return;
    }
    for (std::size_t i = 0; i < count; ++i) {
      form_.format(text_, occurrence_at(block, i, patterns_), nullptr);
      sink.write(text_);
    }
  }
  void finish(sink_type&, bool, std::uint64_t) override {}

 private:
  line_form form_;
  const pattern_names& patterns_;
  bool plain_;
  std::string text_;
};

}  // namespace bytrove
