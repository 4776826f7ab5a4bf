#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"
#include "scan/adaptive_matcher.h"
#include "scan/block_search.h"
#include "scan/output.h"
#include "scan/report_line.h"

namespace bytrove {

// Bytes read per block. Larger blocks mean fewer reads; the carry between blocks keeps every
// occurrence findable whatever the size.
inline constexpr std::size_t k_block_size = 256 * 1024;
// One block, the carried m-1 bytes, m bytes for the planted copy, and the vector filter's
// reach past it.
inline constexpr std::size_t k_scan_buffer_size =
    k_block_size + (k_max_positions - 1) + k_max_positions + k_search_slack;

// 64-bit so offsets and counts stay exact past 4 GiB.
struct run_counters {
  std::uint64_t files_searched = 0;
  std::uint64_t bytes_searched = 0;
  std::uint64_t occurrences = 0;
};

// Observes a scan's progress (for the progress line).
class scan_observer {
 public:
  virtual ~scan_observer() = default;
  virtual void on_input_start(std::string_view name, int fd) = 0;
  virtual void on_bytes(std::uint64_t count) = 0;
  virtual void on_input_end() = 0;
};

// Searches inputs for one compiled pattern. Owns the one scan buffer of the run; nothing is
// allocated per input. The pattern, plan and sinks must outlive the scanner.
class scanner {
 public:
  scanner(const compiled_pattern& pattern, const search_plan& plan, output& out, output& err,
          matcher_kind matcher = matcher_kind::automatic);

  // Reads `fd` (opened for reading, at its start) to its end and prints one report line per
  // occurrence, named `name`. In verbose mode first prints "Searching <name> ...". A failed
  // read prints "Error reading file <name>." and ends this input. Does not close `fd`.
  // Stops early when standard output has failed.
  void scan_stream(std::string_view name, int fd, bool verbose);

  const run_counters& counters() const { return counters_; }
  void set_observer(scan_observer* observer) { observer_ = observer; }

 private:
  void search_block(std::size_t end, std::uint64_t base);


  const compiled_pattern& pattern_;
  const search_plan& plan_;
  output& out_;
  output& err_;
  run_counters counters_;
  scan_observer* observer_ = nullptr;
  std::unique_ptr<std::uint8_t[]> buffer_;
  report_line_format line_;
  std::unique_ptr<std::uint32_t[]> positions_;  // occurrence starts found in one block
  vector_anchors anchors_;
  adaptive_matcher matcher_;
};

// Writes an error line on standard error after flushing standard output, so a terminal shows
// both streams in the order things happened. Writes nothing once standard output has failed.
void write_error(output& out, output& err, std::string_view message);

}  // namespace bytrove
