#include <unistd.h>

#include <cstdlib>

#include <string>
#include <vector>

#include "cli/run.h"
#include "scan/output.h"
#include "walk/file_system.h"

int main(int argc, char** argv) {
  bytrove::output out(STDOUT_FILENO);
  bytrove::output err(STDERR_FILENO, /*buffered=*/false);
  bytrove::posix_file_system fs;
  bytrove::io_context io{out, err, STDIN_FILENO, fs, ::isatty(STDERR_FILENO) == 1,
                        bytrove::parse_matcher_kind(std::getenv("BYTROVE_MATCHER"))};
  const std::vector<std::string> args(argv, argv + argc);
  return bytrove::run(args, io);
}
