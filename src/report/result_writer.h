#pragma once

// The interface every output form implements: what is written for the occurrences of one input
// (or one chunk of it) and at its end. input_results chooses one writer per run from the
// options and feeds it each block, after the per-input limit has cut it; a new output form is
// a new writer here and a line in input_results' choice.
//
// Writers are templates on the sink they write to: `output` (standard output, straight) or the
// parallel engine's task sink (held until its turn). A sink offers write(text), and
// reserve(n) / commit(k) for the report lines' fast path (write_report_lines).

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "scan/block_scanner.h"

namespace bytrove {

template <class sink_type>
class result_writer {
 public:
  virtual ~result_writer() = default;

  // A new input `name`; `json_name`, when not empty, names it in JSON records in place of
  // "path":"<name>" (a member of a packed input).
  virtual void start(std::string_view name, std::string_view json_name) = 0;
  // The first `count` occurrences of `block` (those the limit leaves; `count` may be 0 while
  // the bytes of a block are still wanted, for dumps).
  virtual void write(sink_type& sink, const found_block& block, std::size_t count) = 0;
  // True while occurrences wait for bytes after them: the input is read on for them.
  virtual bool waiting() const { return false; }
  // The input (or chunk) ended after `found` occurrences: writes what waits, then, for a
  // `whole` input, its end lines.
  virtual void finish(sink_type& sink, bool whole, std::uint64_t found) = 0;

 protected:
  result_writer() = default;
  result_writer(const result_writer&) = default;
  result_writer& operator=(const result_writer&) = default;
};

}  // namespace bytrove
