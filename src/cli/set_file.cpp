#include "cli/set_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "pattern/pattern_set.h"

#ifndef BYTROVE_DATA_DIR
#define BYTROVE_DATA_DIR "/usr/local/share/bytrove"
#endif

namespace bytrove {
namespace {

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// <directory of the running executable>/../share/bytrove, or "" when it cannot be known.
std::string data_dir_beside_executable() {
  std::string exe(4096, '\0');
  const ssize_t n = ::readlink("/proc/self/exe", exe.data(), exe.size());
  if (n <= 0 || static_cast<std::size_t>(n) >= exe.size()) return {};
  exe.resize(static_cast<std::size_t>(n));
  const std::size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return {};
  return exe.substr(0, slash) + "/../share/bytrove";
}

status refused(const std::string& path, const std::string& why) {
  return status::error(k_exit_usage, "Pattern file " + path + " " + why + "\n");
}

status read_error(const std::string& path) {
  return status::error(k_exit_usage, "Error reading pattern file " + path + ".\n");
}

const std::string& too_large() {
  static const std::string text = "is larger than " + std::to_string(k_max_set_file_bytes >> 20) +
                                  " MiB, the limit for a set file.";
  return text;
}

}  // namespace

std::string find_set_file(const std::string& name) {
  if (name.find('/') != std::string::npos || exists(name)) return name;
  for (const std::string& dir : {data_dir_beside_executable(), std::string(BYTROVE_DATA_DIR)}) {
    if (dir.empty()) continue;
    const std::string path = dir + "/" + name;
    if (exists(path)) return path;
  }
  return name;
}

status read_set_file(const std::string& path, std::string& text) {
  // Without O_NONBLOCK, opening a FIFO waits for a writer that may never come.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return read_error(path);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    return read_error(path);
  }
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
    ::close(fd);
    return refused(path, "is a device, not a file of patterns.");
  }
  if (S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) > k_max_set_file_bytes) {
    ::close(fd);
    return refused(path, too_large());
  }
  // A writer that is there is waited for as usual; with none, the first read is the end.
  (void)::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  char buffer[65536];
  ssize_t n = 0;
  while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (text.size() + static_cast<std::size_t>(n) > k_max_set_file_bytes) {
      ::close(fd);
      return refused(path, too_large());
    }
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return n == 0 ? status{} : read_error(path);
}

}  // namespace bytrove
