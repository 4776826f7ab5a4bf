#pragma once

// Small helpers shared by the unit tests: temporary directories and files, a scoped working
// directory, a reference report line built with snprintf, and an in-process run of the whole
// program with captured standard output, standard error and exit code.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/output.h"
#include "cli/run.h"
#include "walk/file_system.h"

namespace bytrove {

// Owns a file descriptor and closes it once.
class unique_fd {
 public:
  explicit unique_fd(int fd = -1) : fd_(fd) {}
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  ~unique_fd() { reset(); }
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// Writes all of `data` to `fd`; throws when the descriptor refuses it.
inline void write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n <= 0) throw std::runtime_error("write failed");
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

// An unlinked temporary file holding `data`, positioned at its start: a stand-in for standard
// input of any size.
inline unique_fd input_file(std::string_view data) {
  std::string name = (std::filesystem::temp_directory_path() / "bytrove_input.XXXXXX").string();
  unique_fd fd(::mkstemp(name.data()));
  if (fd.get() < 0) throw std::runtime_error("mkstemp failed");
  ::unlink(name.c_str());
  write_all(fd.get(), data);
  if (::lseek(fd.get(), 0, SEEK_SET) != 0) throw std::runtime_error("lseek failed");
  return fd;
}

// A fresh directory under the system temporary directory, removed with everything in it.
class temp_dir {
 public:
  temp_dir() {
    std::string name = (std::filesystem::temp_directory_path() / "bytrove_test.XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = name;
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  ~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // The absolute path of `relative` inside the directory (the directory itself when empty).
  std::string path(std::string_view relative = {}) const {
    return relative.empty() ? root_ : root_ + "/" + std::string(relative);
  }
  // Creates the file `relative` (and its missing parent directories) holding `data`.
  std::string write_file(std::string_view relative, std::string_view data) const {
    const std::string full = path(relative);
    std::filesystem::create_directories(std::filesystem::path(full).parent_path());
    unique_fd fd(::open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) throw std::runtime_error("cannot create " + full);
    write_all(fd.get(), data);
    return full;
  }
  std::string make_dir(std::string_view relative) const {
    const std::string full = path(relative);
    std::filesystem::create_directories(full);
    return full;
  }

 private:
  std::string root_;
};

// Makes `dir` the working directory for the lifetime of the object. The working directory is
// process-wide, so tests that use relative file arguments hold one of these and nothing else
// may run concurrently in the process (GoogleTest runs tests one after another).
class scoped_chdir {
 public:
  explicit scoped_chdir(const std::string& dir) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  scoped_chdir(const scoped_chdir&) = delete;
  scoped_chdir& operator=(const scoped_chdir&) = delete;
  ~scoped_chdir() {
    std::error_code ignored;
    std::filesystem::current_path(saved_, ignored);
  }

 private:
  std::filesystem::path saved_;
};

// The occurrence line exactly as the C format "offset 0x%08lX%11s) in %s\n" prints it, with the
// label "(" + decimal offset (" (" from 4 GiB on). unsigned long is 64 bits here.
inline std::string reference_report_line(std::uint64_t offset, const std::string& name) {
  static_assert(sizeof(unsigned long) == sizeof(std::uint64_t));
  // From 4 GiB on, one blank always parts the hex from the decimal.
  const std::string label = (offset >> 32 != 0 ? " (" : "(") + std::to_string(offset);
  const int length = std::snprintf(nullptr, 0, "offset 0x%08lX%11s) in %s\n",
                                   static_cast<unsigned long>(offset), label.c_str(), name.c_str());
  std::string line(static_cast<std::size_t>(length) + 1, '\0');
  std::snprintf(line.data(), line.size(), "offset 0x%08lX%11s) in %s\n",
                static_cast<unsigned long>(offset), label.c_str(), name.c_str());
  line.resize(static_cast<std::size_t>(length));
  return line;
}

// Threads an in-process run gets when it does not ask: BYTROVE_TEST_THREADS (CTest runs the
// whole-program tests at 1 and at 4 threads), else 1.
inline unsigned test_threads() {
  const char* threads = std::getenv("BYTROVE_TEST_THREADS");
  return threads != nullptr ? static_cast<unsigned>(std::strtoul(threads, nullptr, 10)) : 1;
}

// Sets up an in-process run the way the environment asks: test_threads() threads and, for the
// parallel search, chunks of BYTROVE_TEST_CHUNK_SIZE bytes, so chunk boundaries fall everywhere.
inline void apply_test_environment(io_context& io) {
  io.default_threads = test_threads();
  if (const char* chunk = std::getenv("BYTROVE_TEST_CHUNK_SIZE")) {
    io.chunk_size = std::strtoull(chunk, nullptr, 10);
  }
}

struct run_result {
  std::string out;
  std::string err;
  int code = -1;
};

// Runs the program in-process on `args` (without the program path), with `stdin_data` as
// standard input and the real file system; returns what it wrote and its exit code.
inline run_result run_capture(const std::vector<std::string>& args,
                              std::string_view stdin_data = {}) {
  std::vector<std::string> argv{"bytrove"};
  argv.insert(argv.end(), args.begin(), args.end());
  const unique_fd stdin_fd = input_file(stdin_data);
  run_result result;
  {
    output out(&result.out);
    output err(&result.err);
    posix_file_system fs;
    io_context io{out, err, stdin_fd.get(), fs};
    apply_test_environment(io);
    result.code = run(argv, io);
  }  // the sinks are flushed when they go out of scope
  return result;
}

}  // namespace bytrove
