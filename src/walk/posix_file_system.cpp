#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <memory>
#include <string>
#include <utility>

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

// The directory this thread listed last, held open for the opens that follow its listing
// (shared with the threads that open what the walk left them).
struct listed_directory {
  std::uint64_t owner = 0;  // the posix_file_system's serial; 0: none
  std::shared_ptr<const open_directory> dir;
  void reset(std::uint64_t new_owner, std::shared_ptr<const open_directory> new_dir) {
    owner = new_owner;
    dir = std::move(new_dir);
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
  // Owned from here, so that an allocation failing during the listing does not leak it.
  std::shared_ptr<const open_directory> listed;
  try {
    listed = std::make_shared<const open_directory>(dir_fd, dir);
  } catch (...) {
    ::close(dir_fd);
    throw;
  }
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
  t_listed.reset(serial_, std::move(listed));
  errno = failure;  // why the listing failed, for the caller
  return ok;
}

posix_file_system::~posix_file_system() {
  // Walker threads have ended by now, their directories closed with them.
  if (t_listed.owner == serial_) t_listed.reset(0, nullptr);
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

int open_flags() {
  // O_NONBLOCK keeps the open of a FIFO without a writer from hanging; reads then block as
  // usual, so a FIFO with no writer simply reads as empty.
  // A file that turned into a FIFO after the listing is still safe: the reader waits with
  // poll() when a read would block.
  return O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
}

// Opens `path`, relative to `dir` when it is an entry of it.
int open_entry(const open_directory* dir, const std::string& path, const dir_entry& entry) {
  const char* name = dir != nullptr ? dir->name_of(path) : nullptr;
  int fd;
  do {
    fd = name != nullptr ? ::openat(dir->fd(), name, open_flags())
                         : ::open(path.c_str(), open_flags());
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0 && entry.special) {
    const int current = ::fcntl(fd, F_GETFL);
    if (current >= 0) ::fcntl(fd, F_SETFL, current & ~O_NONBLOCK);
  }
  return fd;
}

}  // namespace

int posix_file_system::open_file(const std::string& path, const dir_entry& entry) {
  const open_directory* listed = t_listed.owner == serial_ ? t_listed.dir.get() : nullptr;
  return open_entry(listed, path, entry);
}

std::shared_ptr<const open_directory> posix_file_system::share_listed(const std::string& path) {
  if (t_listed.owner != serial_ || t_listed.dir == nullptr) return nullptr;
  return t_listed.dir->name_of(path) != nullptr ? t_listed.dir : nullptr;
}

int posix_file_system::open_file_in(const open_directory& dir, const std::string& path,
                                    const dir_entry& entry) {
  return open_entry(&dir, path, entry);
}

void posix_file_system::close_file(int fd) { ::close(fd); }

open_directory::~open_directory() {
  if (fd_ >= 0) ::close(fd_);
}

const char* open_directory::name_of(const std::string& path) const {
  // A path the kernel would refuse stays refused: openat() would accept it, open() does not.
  const bool inside = fd_ >= 0 && path.size() < PATH_MAX && path.size() > path_.size() &&
                      path.compare(0, path_.size(), path_) == 0 &&
                      path.find('/', path_.size()) == std::string::npos;
  return inside ? path.c_str() + path_.size() : nullptr;
}

}  // namespace bytrove
