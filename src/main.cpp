#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <cstdlib>

#include <string>
#include <vector>

#include "cli/progress.h"
#include "cli/run.h"
#include "scan/output.h"
#include "walk/file_system.h"

namespace {

// If a standard descriptor is closed, the next open() would get its number and results could
// be written into, or read from, a file being searched. Park /dev/null there, opened in the
// direction that keeps using the descriptor failing just as a closed one would.
void guard_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int parked = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
    if (parked != -1 && parked != fd) {
      ::dup2(parked, fd);
      ::close(parked);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  guard_standard_descriptors();
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
