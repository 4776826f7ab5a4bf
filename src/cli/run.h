#pragma once

#include <string>
#include <vector>

#include "scan/block_search.h"
#include "scan/output.h"
#include "walk/file_system.h"

namespace bytrove {

// Where a run reads and writes. The real program passes standard output (buffered), standard
// error (unbuffered), descriptor 0 and the POSIX file system; tests pass strings and fakes.
struct io_context {
  output& out;
  output& err;
  int stdin_fd;
  file_system& fs;
  bool stderr_is_terminal = false;  // the progress line is drawn only on a terminal
  int stderr_columns = 80;
  // Which matcher searches; benchmarks and tests pin one (BYTROVE_MATCHER), users never need to.
  matcher_kind matcher = matcher_kind::automatic;
};

// Runs the whole program on `args` (args[0] is the program path) and returns the exit code:
// 0 normal end, 1 usage, 2 bad hex pattern, 3 unknown switch, 4 trailing wildcard or empty
// pattern, 5 standard output could not be written. Every message has been written when it
// returns.
int run(const std::vector<std::string>& args, io_context& io);

// The fixed texts.
extern const char* const k_banner;
extern const char* const k_usage_text;

}  // namespace bytrove
