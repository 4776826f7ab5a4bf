#pragma once

// The results of one input, or of one chunk of it: the entry point of the report layer for the
// searches above it. input_results applies the per-input limit to each block the scanner found
// and hands what is left to the writer of the run's output form, chosen once, when it is made:
//
//   lines   line_writer (the standard form)  or json_writer; with --context, context_writer
//           with line_form or json_form
//   count   count_writer                     (standard or JSON count records)
//   files   names_writer                     (standard or JSON file records)
//
// It also answers what the searches need to know back: how many occurrences were found,
// where an input that reached its limit stops, the counts per pattern, and the occurrences a
// chunk that only counted kept for a later replay.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "report/context_dump.h"
#include "report/count_writer.h"
#include "report/input_limit.h"
#include "report/json_writer.h"
#include "report/line_writer.h"
#include "report/names_writer.h"
#include "report/occurrence.h"
#include "report/result_options.h"
#include "report/result_writer.h"
#include "scan/block_scanner.h"

namespace bytrove {

// Writes what ends an input searched in chunks, whose parts' counts were added up elsewhere:
// its count lines (per pattern of a set), or its name when it held an occurrence; nothing in
// the line mode.
template <class sink_type>
void write_input_end(sink_type& sink, const result_options& options, const pattern_names& patterns,
                     std::string_view name, std::uint64_t total, member_counts& per_member,
                     std::string_view json_name = {}) {
  if (options.mode == result_mode::count) {
    sink.write(count_lines(options, patterns, name, total, per_member, json_name));
  } else if (options.mode == result_mode::files && total > 0) {
    sink.write(name_line(options, name, json_name));
  }
}

template <class sink_type>
class input_results {
 public:
  input_results(const result_options& options, const pattern_names& patterns)
      : patterns_(patterns),
        limit_(options.mode == result_mode::files ? 1 : options.max_count),
        writer_(make_writer(options, patterns, tally_)) {}
  // The writer keeps a reference to tally_.
  input_results(const input_results&) = delete;
  input_results& operator=(const input_results&) = delete;

  // A new input named `name`. `whole`: all of it, and finish() writes its end lines; else a
  // chunk, after `before` occurrences of the input were reported (0 if unknown). `json_name`,
  // when given, names it in JSON records in place of "path":"<name>".
  void start(std::string_view name, bool whole, std::uint64_t before,
             std::string_view json_name = {}) {
    whole_ = whole;
    found_ = 0;
    limit_.start(before);
    tally_.clear();
    writer_->start(name, json_name);
  }

  // Returns false once nothing more is wanted from this input.
  bool on_block(sink_type& sink, const found_block& block) {
    const std::size_t count = limit_.wanted(found_, block.count);
    writer_->write(sink, block, count);
    found_ += count;
    if (!limit_.reached(found_)) return true;
    if (count > 0) limit_.stop_at(occurrence_at(block, count - 1, patterns_).end());
    // Dumps still waiting for the bytes after them are read on for, however the data arrives;
    // nothing more is reported.
    return writer_->waiting();
  }

  // In the count mode, also keeps the first `limit` occurrences' offsets (and patterns), so
  // their lines can be written later without searching again.
  void record(std::size_t limit) { tally_.record_limit = limit; }
  bool recorded_all() const { return !tally_.overflowed; }
  std::vector<std::uint64_t>& recorded() { return tally_.offsets; }
  std::vector<std::uint32_t>& recorded_members() { return tally_.members; }
  std::vector<std::uint32_t>& recorded_lengths() { return tally_.lengths; }

  // Once on_block has returned false: the input offset just past the last occurrence reported.
  // What lies after it was not needed, so a search stopped there counts bytes up to it,
  // however far its reads happened to go.
  bool stopped() const { return limit_.stopped(); }
  std::uint64_t stop_end() const { return limit_.stop_end(); }
  // The bytes from `start` that count as searched, when `read` were read from there.
  std::uint64_t bytes_from(std::uint64_t start, std::uint64_t read) const {
    return limit_.bytes_from(start, read);
  }

  // Writes the occurrences still waiting for bytes after them (the input ended first), then,
  // for a whole input, its end lines.
  void finish(sink_type& sink) { writer_->finish(sink, whole_, found_); }

  std::uint64_t found() const { return found_; }
  member_counts& per_member() { return tally_.per_member; }

 private:
  // The writer of the run's output form, chosen once for all the inputs this searches.
  static std::unique_ptr<result_writer<sink_type>> make_writer(const result_options& options,
                                                               const pattern_names& patterns,
                                                               input_tally& tally) {
    if (options.mode == result_mode::count) {
      return std::make_unique<count_writer<sink_type>>(options, patterns, tally);
    }
    if (options.mode == result_mode::files) {
      return std::make_unique<names_writer<sink_type>>(options);
    }
    if (options.context != 0) {
      if (options.json) {
        return std::make_unique<context_writer<sink_type, json_form>>(options, patterns);
      }
      return std::make_unique<context_writer<sink_type, line_form>>(options, patterns);
    }
    if (options.json) return std::make_unique<json_writer<sink_type>>(options, patterns);
    return std::make_unique<line_writer<sink_type>>(options, patterns);
  }

  const pattern_names& patterns_;
  input_tally tally_;  // before writer_: the count writer counts into it
  input_limit limit_;
  bool whole_ = true;
  std::uint64_t found_ = 0;
  std::unique_ptr<result_writer<sink_type>> writer_;
};

}  // namespace bytrove
