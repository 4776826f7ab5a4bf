#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "base/output.h"
#include "base/status.h"
#include "cli/run.h"
#include "cli/test_knobs.h"
#include "search/progress.h"
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

// Dense results go through standard output in a stream of 64 KiB writes; into a pipe of the
// default 64 KiB each write fills it and the writer and the reader take turns, a pair of
// context switches per write. A larger pipe (1 MiB is what an unprivileged process may ask
// for) lets both run at once. Nothing changes if the kernel refuses.
void widen_output_pipe() {
  struct stat st {};
  if (::fstat(STDOUT_FILENO, &st) == 0 && S_ISFIFO(st.st_mode)) {
    (void)::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 1 << 20);
  }
}

int run_program(int argc, char** argv);

}  // namespace

int main(int argc, char** argv) {
  // run() handles running out of memory itself; this catches what fails before it starts.
  try {
    return run_program(argc, argv);
  } catch (const std::bad_alloc&) {
    const std::string_view message = bytrove::k_out_of_memory_message;
    (void)!::write(STDERR_FILENO, message.data(), message.size());
    return bytrove::k_exit_out_of_memory;
  }
}

namespace {

int run_program(int argc, char** argv) {
  // Buffers of held results (256 KiB) are mapped and unmapped rather than kept in malloc's
  // per-thread arenas, where one freed by another thread stays resident: the peak memory of a
  // dense parallel search then stays at its budget.
  ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  guard_standard_descriptors();
  widen_output_pipe();
  bytrove::output out(STDOUT_FILENO);
  bytrove::output err(STDERR_FILENO, /*buffered=*/false);
  bytrove::posix_file_system fs;
  const bool terminal = ::isatty(STDERR_FILENO) == 1;
  const bytrove::test_knobs knobs = bytrove::test_knobs_from_environment();
  bytrove::io_context io{out,           err,
                         STDIN_FILENO,  fs,
                         terminal,      terminal ? bytrove::terminal_width(STDERR_FILENO) : 80,
                         knobs.matcher, knobs.chunk_size};
  const char* term = std::getenv("TERM");
  const char* no_colour = std::getenv("NO_COLOR");
  io.stdout_takes_colour = ::isatty(STDOUT_FILENO) == 1 && term != nullptr &&
                           std::string_view(term) != "dumb" &&
                           (no_colour == nullptr || *no_colour == '\0');
  struct stat st {};
  if (::fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode)) {
    io.output_file = bytrove::file_identity{st.st_dev, st.st_ino};
  }
  const std::vector<std::string> args(argv, argv + argc);
  return bytrove::run(args, io);
}

}  // namespace
