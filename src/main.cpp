#include <unistd.h>

#include <cstdlib>

#include <string>
#include <vector>

#include "cli/progress.h"
#include "cli/run.h"
#include "scan/output.h"
#include "walk/file_system.h"

int main(int argc, char** argv) {
  bytrove::output out(STDOUT_FILENO);
  bytrove::output err(STDERR_FILENO, /*buffered=*/false);
  bytrove::posix_file_system fs;
  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  bytrove::io_context io{out,
                         err,
                         STDIN_FILENO,
                         fs,
                         terminal,
                         terminal ? bytrove::terminal_width(STDERR_FILENO) : 80,
                         bytrove::parse_matcher_kind(std::getenv("BYTROVE_MATCHER"))};
  const std::vector<std::string> args(argv, argv + argc);
  return bytrove::run(args, io);
}
