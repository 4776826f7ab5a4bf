#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/output.h"
#include "base/status.h"
#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"
#include "report/result_options.h"
#include "scan/search_target.h"
#include "scan/single_matchers.h"
#include "search/input_source.h"
#include "walk/file_system.h"
#include "walk/walk_directory.h"

namespace bytrove {

struct run_counters;  // search/stream_search.h

// Where a run reads and writes. The real program passes standard output (buffered), standard
// error (unbuffered), descriptor 0 and the POSIX file system; tests pass strings and fakes.
struct io_context {
  output& out;
  output& err;
  int stdin_fd;
  file_system& fs;
  bool stderr_is_terminal = false;  // the progress line is drawn only on a terminal
  int stderr_columns = 80;
  // Which matcher searches; benchmarks and tests pin one (cli/test_knobs.h), users never need to.
  matcher_kind matcher = matcher_kind::automatic;
  // Size of the chunks a large file is cut into for parallel search; 0 for the default. Tests
  // make it small so that few bytes cross many chunk boundaries.
  std::uint64_t chunk_size = 0;
  // Threads when --threads is not given; 0 for every CPU this process may use.
  unsigned default_threads = 0;
  // Standard output when it is a regular file: an input that is this file is not searched,
  // since every result found in it would add more to find.
  std::optional<file_identity> output_file = std::nullopt;
  // --color=auto colours only when this is set: standard output is a terminal that takes
  // colours (TERM is not "dumb" and NO_COLOR is not set).
  bool stdout_takes_colour = false;
};

// One file argument with the switches in force where it stood; or, when `message` is set, a
// message about the arguments, written in its place among the results.
struct file_argument {
  std::string text;
  bool recurse = false;
  std::uint32_t attribute_mask = 0;
  bool verbose = false;
  std::string message;
};

// What the command line asks of the search, in order.
struct run_request {
  std::vector<file_argument> files;
  // Set when an argument after the files cannot be applied (an unknown switch): the run ends
  // with it once the files before it have been searched.
  int stop_exit_code = 0;
  std::string stop_message;
  bool verbose = false;    // in force at the end: standard input's line and the summary
  bool progress = false;   // --progress
  unsigned threads = 1;    // 1: one stream at a time, no other thread
  result_options results;  // what is written per input, over which bytes
  walk_filters filters;    // names the walk passes over (--include, --exclude, ...)
  // For the command line to finish: --status (grep's exit codes) and --color's choice.
  bool exit_status_says_found = false;
  enum class colour_when { never, automatic, always } colour = colour_when::never;
};

// How a file argument is handed to the walk: `dir` is empty or ends in "/".
struct file_argument_split {
  std::string dir;
  std::string name_pattern;
};

// Splits a file argument at its last "/". A name part without wildcards that, with its
// directory, names an existing directory is searched as "<arg>/*"; an empty name part
// (empty argument, trailing "/") searches "*" in that directory.
file_argument_split split_file_argument(const std::string& argument, file_system& fs);

// Searches every file argument of `request` in order (standard input, named "StdIn", when
// there is none), writes the verbose summary, and returns the request's stop status; the run's
// counters go to `totals` when given. Standard-output failures are the caller's to detect on
// io.out.
status search_inputs(const run_request& request, const search_target& target,
                     const pattern_names& patterns, io_context& io, run_counters* totals = nullptr);

// CPUs this process may run on: the default number of threads.
unsigned available_cpus();

}  // namespace bytrove
