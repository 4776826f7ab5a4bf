#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace bytrove {

// Attribute bits of the admission rule (the names keep the platform-neutral meaning).
inline constexpr std::uint32_t k_attr_read_only = 0x01;
inline constexpr std::uint32_t k_attr_hidden = 0x02;
inline constexpr std::uint32_t k_attr_system = 0x04;
inline constexpr std::uint32_t k_attr_directory = 0x10;
inline constexpr std::uint32_t k_attr_archive = 0x20;

// One directory entry as the walker needs it. Types are those found after following
// symbolic links; a dangling link or a link loop is a plain file.
struct dir_entry {
  std::string name;
  bool directory = false;  // a directory (or a link to one)
  bool special = false;    // neither a regular file nor a directory: FIFO, socket, device
  bool link = false;       // the entry itself is a symbolic link
};

// A directory held open, so that the files listed in it are opened relative to it rather than
// by resolving their whole path again: from any thread, for as long as anyone holds it. Closed
// with its last holder.
class open_directory {
 public:
  // Takes ownership of `fd`, the directory `path` (which ends in "/", or is empty for the
  // current directory).
  open_directory(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~open_directory();
  open_directory(const open_directory&) = delete;
  open_directory& operator=(const open_directory&) = delete;
  int fd() const { return fd_; }
  // The name of `path` inside this directory, when `path` names an entry of it (and the kernel
  // would accept it whole: one too long stays refused); null otherwise.
  const char* name_of(const std::string& path) const;

 private:
  int fd_;
  std::string path_;
};

// The file-system operations the walker uses: a seam so walker rules can be tested against an
// in-memory tree. Paths are built by the walker: `dir` is empty (current directory) or ends
// in "/".
class file_system {
 public:
  virtual ~file_system() = default;

  // All entries of `dir` except "." and "..", in any order. False when it cannot be read.
  virtual bool list_directory(const std::string& dir, std::vector<dir_entry>& entries) = 0;
  // Looks up one entry by name in `dir`. False when there is no such entry.
  virtual bool find_entry(const std::string& dir, const std::string& name, dir_entry& entry) = 0;
  // True when `path` names an existing directory (links followed).
  virtual bool is_directory(const std::string& path) = 0;
  // True when `path` names anything at all, links not followed (a dangling link exists).
  virtual bool exists(const std::string& path) = 0;
  // Opens a file for reading; a FIFO or device must not block the open. -1 on failure.
  virtual int open_file(const std::string& path, const dir_entry& entry) = 0;
  virtual void close_file(int fd) = 0;
  // The directory this thread listed last, when `path` names an entry of it, for another thread
  // to open that entry in (open_file_in); null otherwise.
  virtual std::shared_ptr<const open_directory> share_listed(const std::string& /*path*/) {
    return nullptr;
  }
  // Opens `path`, an entry of `dir` (from share_listed), relative to it.
  virtual int open_file_in(const open_directory& /*dir*/, const std::string& path,
                           const dir_entry& entry) {
    return open_file(path, entry);
  }
};

// The real file system, through POSIX calls. list_directory, open_file, share_listed and
// open_file_in may run on several threads at once (the walkers that read ahead, the search's
// workers opening what the walk left them); the rest is for the walk's own thread.
class posix_file_system final : public file_system {
 public:
  posix_file_system();
  ~posix_file_system() override;
  posix_file_system(const posix_file_system&) = delete;
  posix_file_system& operator=(const posix_file_system&) = delete;

  bool list_directory(const std::string& dir, std::vector<dir_entry>& entries) override;
  bool find_entry(const std::string& dir, const std::string& name, dir_entry& entry) override;
  bool is_directory(const std::string& path) override;
  bool exists(const std::string& path) override;
  int open_file(const std::string& path, const dir_entry& entry) override;
  void close_file(int fd) override;
  std::shared_ptr<const open_directory> share_listed(const std::string& path) override;
  int open_file_in(const open_directory& dir, const std::string& path,
                   const dir_entry& entry) override;

 private:
  // Each thread keeps the directory it listed last open, so the files found in it are opened
  // relative to it rather than by resolving their whole path again, by that thread or by those
  // it shares the directory with; this tells that thread's directory from one another instance
  // listed.
  std::uint64_t serial_;
};

// Attribute bits of an entry as the admission rule sees them on Linux: hidden for a name that
// starts with ".", system for a special file, directory for a directory.
std::uint32_t attributes_of(const dir_entry& entry);

}  // namespace bytrove
