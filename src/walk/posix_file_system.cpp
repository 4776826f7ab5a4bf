#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <string>

#include "walk/file_system.h"

namespace bytrove {
namespace {

void classify(const struct stat& st, dir_entry& entry) {
  entry.directory = S_ISDIR(st.st_mode);
  entry.special = !S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode);
}

// Types the entry `name` in the directory open as `dir_fd` by following links. A link that
// leads nowhere stays a plain file: its open will fail and be reported.
void stat_entry(int dir_fd, const char* name, dir_entry& entry) {
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, 0) == 0) {
    classify(st, entry);
  } else {
    entry.directory = false;
    entry.special = false;
  }
}

// The directory this thread listed last, held open for the opens that follow its listing.
struct listed_directory {
  std::uint64_t owner = 0;  // the posix_file_system's serial; 0: none
  int fd = -1;
  std::string dir;
  listed_directory() = default;
  listed_directory(const listed_directory&) = delete;
  listed_directory& operator=(const listed_directory&) = delete;
  ~listed_directory() { reset(0, -1, std::string()); }
  void reset(std::uint64_t new_owner, int new_fd, const std::string& new_dir) {
    if (fd >= 0) ::close(fd);
    owner = new_owner;
    fd = new_fd;
    dir = new_dir;
  }
};

thread_local listed_directory t_listed;
std::atomic<std::uint64_t> next_serial{1};

// Types one listed entry from its d_type; links and unknown types need a stat to learn what
// they lead to.
void type_entry(int dir_fd, const char* name, unsigned char type, dir_entry& entry) {
  // d_type saves a stat per entry where the file system fills it in.
  switch (type) {
    case DT_REG:
      return;
    case DT_DIR:
      entry.directory = true;
      return;
    case DT_FIFO:
    case DT_SOCK:
    case DT_CHR:
    case DT_BLK:
      entry.special = true;
      return;
    case DT_LNK:
      entry.link = true;
      stat_entry(dir_fd, name, entry);
      return;
    default:
      break;
  }
  struct stat st {};
  // A vanished entry is kept as a plain file: its open fails and is reported in its place.
  if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (S_ISLNK(st.st_mode)) {
    entry.link = true;
    stat_entry(dir_fd, name, entry);
  } else {
    classify(st, entry);
  }
}

}  // namespace

posix_file_system::posix_file_system() : serial_(next_serial.fetch_add(1)) {}

std::uint32_t attributes_of(const dir_entry& entry) {
  std::uint32_t attributes = 0;
  if (!entry.name.empty() && entry.name[0] == '.') attributes |= k_attr_hidden;
  if (entry.special) attributes |= k_attr_system;
  if (entry.directory) attributes |= k_attr_directory;
  return attributes;
}

bool posix_file_system::list_directory(const std::string& dir, std::vector<dir_entry>& entries) {
  entries.clear();
  // The directory's own descriptor read with getdents64: opendir would add an fstat, and
  // keeping the directory open for the opens that follow a duplicate and a close, three
  // system calls per directory a large tree pays thousands of times.
  int dir_fd;
  do {
    dir_fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (dir_fd < 0 && errno == EINTR);
  if (dir_fd < 0) return false;
  alignas(struct dirent64) char buffer[32768];
  bool ok = true;
  for (;;) {
    const ssize_t got = ::getdents64(dir_fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    for (ssize_t at = 0; at < got;) {
      const auto* d = reinterpret_cast<const struct dirent64*>(buffer + at);
      at += d->d_reclen;
      const char* name = d->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      dir_entry entry;
      entry.name = name;
      type_entry(dir_fd, name, d->d_type, entry);
      entries.push_back(std::move(entry));
    }
  }
  const int failure = errno;
  t_listed.reset(serial_, dir_fd, dir);
  errno = failure;  // why the listing failed, for the caller
  return ok;
}

posix_file_system::~posix_file_system() {
  // Walker threads have ended by now, their directories closed with them.
  if (t_listed.owner == serial_) t_listed.reset(0, -1, std::string());
}

bool posix_file_system::find_entry(const std::string& dir, const std::string& name,
                                   dir_entry& entry) {
  const std::string path = dir + name;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return false;
  entry = dir_entry{};
  entry.name = name;
  if (S_ISLNK(st.st_mode)) {
    entry.link = true;
    if (::stat(path.c_str(), &st) != 0) return true;  // dangling: a plain file entry
  }
  classify(st, entry);
  return true;
}

bool posix_file_system::is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool posix_file_system::exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

namespace {

// The name of `path` inside the directory this thread listed last, when it is there (a path
// the kernel would refuse stays refused: openat() would accept it, open() does not); null
// otherwise.
const char* name_in_listed(const std::string& path, std::uint64_t serial) {
  const listed_directory& listed = t_listed;
  const bool inside = listed.owner == serial && listed.fd >= 0 && path.size() < PATH_MAX &&
                      path.size() > listed.dir.size() &&
                      path.compare(0, listed.dir.size(), listed.dir) == 0 &&
                      path.find('/', listed.dir.size()) == std::string::npos;
  return inside ? path.c_str() + listed.dir.size() : nullptr;
}

}  // namespace

int posix_file_system::open_file(const std::string& path, const dir_entry& entry) {
  // O_NONBLOCK keeps the open of a FIFO without a writer from hanging; reads then block as
  // usual, so a FIFO with no writer simply reads as empty.
  // A file that turned into a FIFO after the listing is still safe: the reader waits with
  // poll() when a read would block.
  const int flags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  const char* name = name_in_listed(path, serial_);
  int fd;
  do {
    fd = name != nullptr ? ::openat(t_listed.fd, name, flags) : ::open(path.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0 && entry.special) {
    const int current = ::fcntl(fd, F_GETFL);
    if (current >= 0) ::fcntl(fd, F_SETFL, current & ~O_NONBLOCK);
  }
  return fd;
}

void posix_file_system::close_file(int fd) { ::close(fd); }

}  // namespace bytrove
