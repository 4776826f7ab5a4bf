#pragma once

// The search of inputs one after another on the calling thread (--threads 1, and streams in a
// parallel run): each input as one stream, results straight to standard output. Also the run's
// counters and the observer the progress line implements.

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "base/output.h"
#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"
#include "report/input_results.h"
#include "report/result_options.h"
#include "scan/block_scanner.h"
#include "search/input_source.h"
#include "search/part_search.h"
#include "source/archive_reader.h"

namespace bytrove {

// 64-bit so offsets and counts stay exact past 4 GiB.
struct run_counters {
  std::uint64_t files_searched = 0;
  std::uint64_t bytes_searched = 0;
  std::uint64_t occurrences = 0;

  run_counters& operator+=(const run_counters& other) {
    files_searched += other.files_searched;
    bytes_searched += other.bytes_searched;
    occurrences += other.occurrences;
    return *this;
  }
};

// Observes the inputs as their results are written (for the progress line). Called by one
// thread at a time: whichever writes the results.
class scan_observer {
 public:
  virtual ~scan_observer() = default;
  // `size`: a regular file's size when it was opened, 0 for anything else.
  virtual void on_input_start(std::string_view name, std::uint64_t size) = 0;
  virtual void on_bytes(std::uint64_t count) = 0;
  virtual void on_input_end() = 0;
};

// Searches inputs one after another, each as one stream, writing results straight to
// standard output. Everything passed in must outlive the stream_search.
class stream_search final : private part_hooks {
 public:
  stream_search(const search_target& target, const result_options& options,
                const pattern_names& patterns, output& out, output& err,
                matcher_kind matcher = matcher_kind::automatic,
                std::size_t block_size = k_block_size);

  // Every occurrence as a plain report line.
  stream_search(const compiled_pattern& pattern, const search_plan& plan, output& out, output& err,
                matcher_kind matcher = matcher_kind::automatic,
                std::size_t block_size = k_block_size);

  // Reads `fd` (opened for reading, at its start) to its end, or over the options' range, and
  // writes the results of `name`: one report line per occurrence, or what the options ask.
  // Holes skipped count as searched. In verbose mode first prints "Searching <name> ...". A
  // failed read prints "Error reading file <name>." and ends this input. Does not close `fd`.
  // Stops early when standard output has failed. With --decompress, a packed input's members
  // are searched instead, each as an input of its own. `just_opened`: `fd` was opened by the
  // walk and not read yet (no need to ask where it stands).
  void scan_stream(std::string_view name, int fd, bool verbose, bool just_opened = false);

  const run_counters& counters() const { return counters_; }
  void set_observer(scan_observer* observer) { observer_ = observer; }

 private:
  void before_block(const found_block& block) override;
  bool after_block(const found_block& block) override;
  void on_skipped(std::uint64_t bytes) override;
  void on_read_failed() override;
  // With --decompress: unpacks `fd` when it is packed, or searches a stream whose head was read
  // to find out; false when `fd` is a regular file that is not packed (search it as always).
  bool search_packed(std::string_view name, const input_source& source, bool verbose);
  // Searches the bytes of `stream` as the input `name`, like scan_stream().
  void search_plain(std::string_view name, byte_stream& stream, bool verbose);
  // The "Searching" line and the observer's start; `fd` is -1 for an unpacked member.
  void begin_input(std::string_view name, int fd, bool verbose);
  void end_input(const part_outcome& outcome);

  search_target target_;
  const result_options& options_;
  input_results<output> results_;
  output& out_;
  output& err_;
  block_scanner blocks_;
  part_search<output> part_;
  std::string_view name_;  // of the input being searched, for its read error
  run_counters counters_;
  scan_observer* observer_ = nullptr;
  std::unique_ptr<archive_reader> unpacker_;  // made when first needed
  std::vector<std::uint8_t> whole_file_;      // a small packed file, read whole to recognise it
};

}  // namespace bytrove
