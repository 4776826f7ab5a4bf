// Preloaded into the real binary by the end-to-end fault tests: reads of one file fail with EIO
// at a chosen byte, whether it is read as a stream or at offsets. BYTROVE_FAIL_FILE names the
// file and BYTROVE_FAIL_AT the offset; read() and pread() of it return the bytes before that
// offset, then fail. BYTROVE_SHORT_READS=N: every read() and pread() of a regular file returns
// at most N bytes, as a network or user-space file system may. BYTROVE_MEET_FILE names a file
// whose first pread() at offset 0 waits until another pread() of it starts elsewhere, and fails
// with EIO when none has within 10 s: a file cut into chunks must be read by two threads at once.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using read_fn = ssize_t (*)(int, void*, size_t);
using pread_fn = ssize_t (*)(int, void*, size_t, off_t);

struct target {
  bool set = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t fail_at = 0;
};

const target& failing_file() {
  static const target t = [] {
    target result;
    const char* file = std::getenv("BYTROVE_FAIL_FILE");
    const char* at = std::getenv("BYTROVE_FAIL_AT");
    struct stat st {};
    if (file != nullptr && at != nullptr && ::stat(file, &st) == 0) {
      result = {true, st.st_dev, st.st_ino, static_cast<off_t>(std::strtoll(at, nullptr, 10))};
    }
    return result;
  }();
  return t;
}

size_t short_reads() {
  static const size_t cap = [] {
    const char* n = std::getenv("BYTROVE_SHORT_READS");
    return n != nullptr ? static_cast<size_t>(std::strtoull(n, nullptr, 10)) : size_t{0};
  }();
  return cap;
}

// How many of `count` bytes at `offset` of `fd` may be read: -1 when the read must fail.
ssize_t allowed(int fd, size_t count, off_t offset) {
  const target& t = failing_file();
  struct stat st {};
  const bool described = ::fstat(fd, &st) == 0;
  if (short_reads() > 0 && described && S_ISREG(st.st_mode) && count > short_reads()) {
    count = short_reads();
  }
  if (!t.set || !described || st.st_dev != t.dev || st.st_ino != t.ino) {
    return static_cast<ssize_t>(count);
  }
  if (offset >= t.fail_at) return -1;
  const auto room = static_cast<size_t>(t.fail_at - offset);
  return static_cast<ssize_t>(count < room ? count : room);
}

struct meeting {
  bool set = false;
  dev_t dev = 0;
  ino_t ino = 0;
  std::atomic<bool> first_taken{false};
  std::atomic<bool> met{false};
};

meeting& meeting_file() {
  static meeting m;
  static const bool ready = [] {
    const char* file = std::getenv("BYTROVE_MEET_FILE");
    struct stat st {};
    if (file != nullptr && ::stat(file, &st) == 0) {
      m.set = true;
      m.dev = st.st_dev;
      m.ino = st.st_ino;
    }
    return true;
  }();
  (void)ready;
  return m;
}

// False when this pread must fail: the first read at 0 that no read elsewhere joined in time.
bool meet(int fd, off_t offset) {
  meeting& m = meeting_file();
  struct stat st {};
  if (!m.set || ::fstat(fd, &st) != 0 || st.st_dev != m.dev || st.st_ino != m.ino) return true;
  if (offset != 0) {
    m.met = true;
    return true;
  }
  if (m.first_taken.exchange(true)) return true;
  for (int waited = 0; waited < 10000 && !m.met.load(); ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return m.met.load();
}

}  // namespace

extern "C" ssize_t read(int fd, void* buf, size_t count) {
  static const auto real = reinterpret_cast<read_fn>(::dlsym(RTLD_NEXT, "read"));
  const ssize_t may = allowed(fd, count, ::lseek(fd, 0, SEEK_CUR));
  if (may < 0) {
    errno = EIO;
    return -1;
  }
  return real(fd, buf, static_cast<size_t>(may));
}

extern "C" ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
  static const auto real = reinterpret_cast<pread_fn>(::dlsym(RTLD_NEXT, "pread"));
  const ssize_t may = allowed(fd, count, offset);
  if (may < 0 || !meet(fd, offset)) {
    errno = EIO;
    return -1;
  }
  return real(fd, buf, static_cast<size_t>(may), offset);
}
