#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "cli/run.h"
#include "cli/run_settings.h"
#include "cli/status.h"
#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"

namespace bytrove {

// How a file argument is handed to the walk: `dir` is empty or ends in "/".
struct file_argument_split {
  std::string dir;
  std::string name_pattern;
};

// Splits a file argument at its last "/". A name part without wildcards that, with its
// directory, names an existing directory is searched as "<arg>/*"; an empty name part
// (empty argument, trailing "/") searches "*" in that directory.
file_argument_split split_file_argument(const std::string& argument, file_system& fs);

// Finishes a run after the pattern: walks args[next..], applying switch arguments (until a
// "--" ended them) to `settings` for what follows and searching every file argument; searches
// standard input as "StdIn" when no file argument was given; prints the verbose summary.
// Fails only with an unknown switch (exit 3); standard-output failures are the caller's to
// detect on io.out.
status finish_run(const std::vector<std::string>& args, std::size_t next, bool options_ended,
                  run_settings& settings, const compiled_pattern& pattern,
                  const search_plan& plan, io_context& io);

}  // namespace bytrove
