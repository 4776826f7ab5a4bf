#pragma once

// One search of one part of one input, the same for every caller: a whole stream on one thread
// (stream_search), a chunk or a batch member on a worker, a chunk searched again by the pen
// holder (parallel_search), a decompressed member (member_search). The steps, in order:
//   begin        the input's results start (its name; whole, or a chunk after `before` found)
//   blocks       each range of the source through the block scanner into the results; the
//                caller's part_hooks see every block and may stop the search
//   read failure a read that failed before the part's limit gets its message, in place
//   byte count   bytes read, or up to where the results stopped, count as searched
//   finish       waiting dumps, then (whole inputs) the count or name lines
// The "Searching <name> ..." line is written only by write_searching_line. The out_type is
// where results go: standard output itself, or a worker's task_output.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report/input_results.h"
#include "scan/block_scanner.h"
#include "scan/byte_stream.h"
#include "scan/read_plan.h"

namespace bytrove {

// The line verbose mode writes before an input's results.
template <class out_type>
void write_searching_line(out_type& out, std::string_view name) {
  out.write("Searching ");
  out.write(name);
  out.write(" ...\n");
}

// The message for a read that failed part way through `name`.
std::string read_error_message(std::string_view name);

// What a caller does around the blocks of one search.
class part_hooks {
 public:
  virtual ~part_hooks() = default;
  // Before a block's results are written (the progress line counts it here).
  virtual void before_block(const found_block& /*block*/) {}
  // After them: false stops the search (the output failed, the run or the input stopped).
  virtual bool after_block(const found_block& block) = 0;
  // Bytes of holes skipped before a range, counted as searched without being read.
  virtual void on_skipped(std::uint64_t /*bytes*/) {}
  // A read failed before the part's limit: the message goes in its place.
  virtual void on_read_failed() = 0;
};

// Which part of which input a search covers.
struct part_request {
  std::string_view name;
  bool whole = true;             // all of the input: finish writes its end lines
  std::uint64_t before = 0;      // a chunk: occurrences of the input reported before it
  std::string json_name;         // names it in JSON records in place of its path, when given
  std::uint64_t count_from = 0;  // bytes count from this offset (the chunk's or range's start)
  // A read that fails at or past this offset (in the m-1 bytes a chunk shares with the next)
  // is the next chunk's failure, not this one's.
  std::uint64_t limit = k_no_limit;
};

// How one search ended.
struct part_outcome {
  scan_outcome last;        // of the last range read
  std::uint64_t bytes = 0;  // counted as searched: skipped holes included
  std::uint64_t found = 0;  // occurrences reported (or, for a chunk that tallies, counted)
};

// A read that fails only at or past `limit`, in the bytes a chunk shares with the next, is the
// next chunk's failure: it reads from there, finds what lies before it and reports it, as one
// stream would. Clears such a failure; true for one before the limit.
inline bool read_failed_before(scan_outcome& outcome, std::uint64_t limit) {
  if (outcome.end_offset >= limit) outcome.read_failed = false;
  return outcome.read_failed;
}

template <class out_type>
class part_search final : private block_sink {
 public:
  part_search(block_scanner& blocks, input_results<out_type>& results, out_type& out,
              part_hooks& hooks)
      : blocks_(blocks), results_(results), out_(out), hooks_(hooks) {}

  // Searches `reads` of the descriptor `fd` (read as `mode`) with `span_of(range)` for each.
  template <class span_fn>
  part_outcome run(const part_request& request, int fd, read_mode mode,
                   const std::vector<read_range>& reads, span_fn span_of) {
    begin(request);
    std::uint64_t bytes = 0;
    scan_outcome last;
    for (const read_range& range : reads) {
      hooks_.on_skipped(range.skipped);
      bytes += range.skipped;
      last = blocks_.scan(fd, mode, span_of(range), *this);
      bytes += last.bytes;
      if (read_failed_before(last, request.limit)) hooks_.on_read_failed();
      if (last.read_failed || last.stopped || last.end_offset < range.end) break;
    }
    return end(request, last, bytes);
  }

  // Searches all of `stream` with `span`.
  part_outcome run(const part_request& request, byte_stream& stream, const scan_span& span) {
    begin(request);
    scan_outcome last = blocks_.scan(stream, span, *this);
    if (read_failed_before(last, request.limit)) hooks_.on_read_failed();
    return end(request, last, last.bytes);
  }

 private:
  void begin(const part_request& request) {
    results_.start(request.name, request.whole, request.before, request.json_name);
  }
  part_outcome end(const part_request& request, const scan_outcome& last, std::uint64_t bytes) {
    part_outcome outcome{last, results_.bytes_from(request.count_from, bytes), 0};
    results_.finish(out_);
    outcome.found = results_.found();
    return outcome;
  }
  bool on_block(const found_block& block) override {
    hooks_.before_block(block);
    const bool more = results_.on_block(out_, block);
    const bool go_on = hooks_.after_block(block);
    return more && go_on;
  }

  block_scanner& blocks_;
  input_results<out_type>& results_;
  out_type& out_;
  part_hooks& hooks_;
};

}  // namespace bytrove
