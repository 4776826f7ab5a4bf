// Faults met in the middle of a run, injected in-process through whole runs of the program:
// entries that change between the directory listing and their opening, reads that fail part
// way through an input, and a standard output that stops taking data part way through.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/output.h"
#include "cli/run.h"
#include "naive_matcher.h"
#include "pattern/compiled_pattern.h"
#include "search/stream_search.h"
#include "test_support.h"
#include "walk/file_system.h"

namespace bytrove {
namespace {

// The real file system with a hand in it: a test may change the tree right after a directory
// is looked at (as another process could between the listing and the opening), hand out a
// prepared descriptor in place of a path, and see what the walk opened and listed.
class meddling_file_system final : public file_system {
 public:
  // Runs after every listing and every single-name lookup, with the directory looked at.
  std::function<void(const std::string& dir)> after_lookup;
  // Runs with the path of every file opened, before the open.
  std::function<void(const std::string& path)> before_open;
  std::size_t opened_elsewhere = 0;  // by a thread other than the one that made this
  // Paths opened as a duplicate of the given descriptor (sharing its file offset).
  std::map<std::string, int> substitutes;
  std::vector<std::string> opened;
  std::vector<std::string> listed;

  // Listings and opens may come from the walkers' threads at once; so may the hook.
  bool list_directory(const std::string& dir, std::vector<dir_entry>& entries) override {
    const bool ok = real_.list_directory(dir, entries);
    const std::lock_guard<std::mutex> lock(mutex_);
    listed.push_back(dir);
    if (after_lookup) after_lookup(dir);
    return ok;
  }
  bool find_entry(const std::string& dir, const std::string& name, dir_entry& entry) override {
    const bool found = real_.find_entry(dir, name, entry);
    const std::lock_guard<std::mutex> lock(mutex_);
    if (after_lookup) after_lookup(dir);
    return found;
  }
  bool is_directory(const std::string& path) override { return real_.is_directory(path); }
  bool exists(const std::string& path) override { return real_.exists(path); }
  int open_file(const std::string& path, const dir_entry& entry) override {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (before_open) before_open(path);
      opened.push_back(path);
      if (std::this_thread::get_id() != maker_) ++opened_elsewhere;
      const auto it = substitutes.find(path);
      if (it != substitutes.end()) return ::fcntl(it->second, F_DUPFD_CLOEXEC, 0);
    }
    return real_.open_file(path, entry);
  }
  void close_file(int fd) override { real_.close_file(fd); }

 private:
  std::mutex mutex_;
  const std::thread::id maker_ = std::this_thread::get_id();
  posix_file_system real_;
};

// Ends the test process if a case hangs, instead of blocking the whole suite.
class watchdog {
 public:
  explicit watchdog(unsigned seconds) { ::alarm(seconds); }
  watchdog(const watchdog&) = delete;
  watchdog& operator=(const watchdog&) = delete;
  ~watchdog() { ::alarm(0); }
};

// Runs the program on `args` (without the program path) with `fs` and standard input
// `stdin_fd`; standard output goes to `out_fd`, or into the result when it is -1.
run_result run_on(file_system& fs, const std::vector<std::string>& args, int stdin_fd,
                  int out_fd = -1) {
  std::vector<std::string> argv{"bytrove"};
  argv.insert(argv.end(), args.begin(), args.end());
  run_result result;
  {
    output out_text(&result.out);
    output out_fd_sink(out_fd);
    output err(&result.err);
    io_context io{out_fd >= 0 ? out_fd_sink : out_text, err, stdin_fd, fs};
    apply_test_environment(io);
    result.code = run(argv, io);
  }
  return result;
}

const std::string k_banner_line = k_banner;

std::string line(std::uint64_t offset, const std::string& name) {
  return reference_report_line(offset, name);
}

std::string summary(std::uint64_t occurrences, std::uint64_t files, std::uint64_t bytes) {
  return "Found " + std::to_string(occurrences) + " occurence(s) in " + std::to_string(files) +
         " file(s) (" + std::to_string(bytes) + " bytes searched).\n";
}

std::string searching(const std::string& name) { return "Searching " + name + " ...\n"; }

const std::string k_echo_5859 = "Searching for HEX pattern 58 59 ...\n";

// ---------------------------------------------------------------------------------------------
// Entries that change between the listing and the opening

TEST(fault_walk, file_deleted_between_listing_and_opening_is_an_open_error) {
  temp_dir tmp;
  tmp.write_file("t/a.bin", "XY");
  tmp.write_file("t/b.bin", "-XY");
  tmp.write_file("t/c.bin", "--XY");
  tmp.write_file("t/d.bin", "---XY");
  const scoped_chdir cd(tmp.path());
  const unique_fd no_input = input_file("");

  {  // Found by a wildcard listing, gone when its turn comes.
    meddling_file_system fs;
    fs.after_lookup = [](const std::string& dir) {
      if (dir == "t/") ::unlink("t/b.bin");
    };
    const run_result r = run_on(fs, {"-v", "5859", "t"}, no_input.get());
    EXPECT_EQ(r.out, k_banner_line + k_echo_5859 + searching("t/a.bin") + line(0, "t/a.bin") +
                         searching("t/c.bin") + line(2, "t/c.bin") + searching("t/d.bin") +
                         line(3, "t/d.bin") + summary(3, 3, 11));
    EXPECT_EQ(r.err, "Error opening file t/b.bin.\n");
    EXPECT_EQ(r.code, 0);
    // Each tried once; with several threads the workers open the files still there, so the
    // opens may come in any order.
    std::sort(fs.opened.begin(), fs.opened.end());
    EXPECT_EQ(fs.opened, (std::vector<std::string>{"t/a.bin", "t/b.bin", "t/c.bin", "t/d.bin"}));
  }
  {  // Named exactly, gone right after it was looked up: it still counts as matched (no
     // "Found no files" message), and the next argument is searched.
    meddling_file_system fs;
    fs.after_lookup = [](const std::string& dir) {
      if (dir == "t/") ::unlink("t/c.bin");
    };
    const run_result r = run_on(fs, {"5859", "t/c.bin", "t/d.bin"}, no_input.get());
    EXPECT_EQ(r.out, k_banner_line + line(3, "t/d.bin"));
    EXPECT_EQ(r.err, "Error opening file t/c.bin.\n");
    EXPECT_EQ(r.code, 0);
  }
}

TEST(fault_walk, file_replaced_by_a_directory_or_a_fifo_after_listing) {
  const watchdog guard(60);
  temp_dir tmp;
  tmp.write_file("t/a.bin", "XY");
  tmp.write_file("t/b.bin", "-XY");
  tmp.write_file("t/c.bin", "--XY");
  tmp.write_file("t/d.bin", "---XY");
  const scoped_chdir cd(tmp.path());
  const unique_fd no_input = input_file("");

  {  // A directory opens for reading, but reading it fails; a FIFO nobody writes reads as
     // empty at once, even though it was opened as the plain file it was listed as.
    meddling_file_system fs;
    fs.after_lookup = [](const std::string& dir) {
      if (dir != "t/") return;
      ::unlink("t/b.bin");
      ::mkdir("t/b.bin", 0755);
      ::unlink("t/c.bin");
      ::mkfifo("t/c.bin", 0644);
    };
    const run_result r = run_on(fs, {"-v", "5859", "t"}, no_input.get());
    EXPECT_EQ(r.out, k_banner_line + k_echo_5859 + searching("t/a.bin") + line(0, "t/a.bin") +
                         searching("t/b.bin") + searching("t/c.bin") + searching("t/d.bin") +
                         line(3, "t/d.bin") + summary(2, 4, 7));
    EXPECT_EQ(r.err, "Error reading file t/b.bin.\n");
    EXPECT_EQ(r.code, 0);
  }
  {  // A FIFO with a writer that sends its data late and in pieces: opened without blocking,
     // the input waits for the data instead of ending early or spinning, and reads to the end.
    ::rmdir("t/b.bin");
    ::unlink("t/c.bin");
    tmp.write_file("t/b.bin", "-XY");
    tmp.write_file("t/c.bin", "--XY");
    int writer = -1;
    std::thread feeder;
    meddling_file_system fs;
    fs.after_lookup = [&](const std::string& dir) {
      if (dir != "t/") return;
      ::unlink("t/c.bin");
      ASSERT_EQ(::mkfifo("t/c.bin", 0644), 0);
      writer = ::open("t/c.bin", O_RDWR | O_CLOEXEC);  // a writer from now on
      ASSERT_GE(writer, 0);
      feeder = std::thread([fd = writer] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        write_all(fd, "ab");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        write_all(fd, "XYcX");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        write_all(fd, "Y");
        ::close(fd);  // the last writer is gone: the reader sees the end
      });
    };
    const run_result r = run_on(fs, {"-v", "5859", "t"}, no_input.get());
    feeder.join();
    EXPECT_EQ(r.out, k_banner_line + k_echo_5859 + searching("t/a.bin") + line(0, "t/a.bin") +
                         searching("t/b.bin") + line(1, "t/b.bin") + searching("t/c.bin") +
                         line(2, "t/c.bin") + line(5, "t/c.bin") + searching("t/d.bin") +
                         line(3, "t/d.bin") + summary(5, 4, 17));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.code, 0);
  }
}

TEST(fault_walk, subdirectory_removed_or_replaced_before_it_is_entered) {
  temp_dir tmp;
  tmp.write_file("t/a.bin", "XY");
  tmp.write_file("t/gone/x.bin", "XY");
  tmp.write_file("t/now_file/x.bin", "XY");
  tmp.write_file("t/zz/y.bin", "-XY");
  tmp.write_file("u.bin", "--XY");
  const scoped_chdir cd(tmp.path());
  const unique_fd no_input = input_file("");
  meddling_file_system fs;
  fs.after_lookup = [&](const std::string& dir) {
    if (dir != "t/") return;
    std::filesystem::remove_all("t/gone");
    std::filesystem::remove_all("t/now_file");
    tmp.write_file("t/now_file", "XY");
  };
  const run_result r = run_on(fs, {"-r", "5859", "t", "u.bin"}, no_input.get());
  EXPECT_EQ(r.out, k_banner_line + line(0, "t/a.bin") + line(1, "t/zz/y.bin") + line(2, "u.bin"));
  EXPECT_EQ(r.err, "Error reading directory t/gone/.\nError reading directory t/now_file/.\n");
  EXPECT_EQ(r.code, 0);
}

// A tree deep and wide enough for several batches, with files that vanish after the listing,
// found out by the walk or by a worker when it opens them: every thread count prints what one
// thread prints, messages in their places among the results. Files larger than a chunk, which a
// worker cuts into chunks among those of its batch, come first, in the middle and last.
TEST(fault_walk, files_vanishing_in_a_deep_tree_are_reported_in_place_at_every_thread_count) {
  const watchdog guard(120);
  temp_dir tmp;
  const scoped_chdir cd(tmp.path());
  const unique_fd no_input = input_file("");
  const auto grow = [&] {
    std::filesystem::remove_all("t");
    std::mt19937 rng(7);
    std::function<void(const std::string&, int)> fill = [&](const std::string& dir, int depth) {
      for (std::size_t i = 0; i < 12; ++i) {
        const char* kind = rng() % 9 == 0 ? "gone" : rng() % 9 == 0 ? "lost" : "f";
        const std::string data = std::string(rng() % 300, '-') + "XY" + std::string(i, 'X');
        tmp.write_file(dir + kind + std::to_string(i) + ".bin", data);
      }
      if (depth == 0) return;
      for (int j = 0; j < 3; ++j) fill(dir + "d" + std::to_string(j) + "/", depth - 1);
    };
    fill("t/", 3);
    for (const char* big : {"t/a-big.bin", "t/d1/big.bin", "t/zz-big.bin"}) {
      tmp.write_file(big, std::string(3u << 20, '-') + "XY" + std::string(1u << 20, '-') + "XY");
    }
  };
  const auto vanishing = [](std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return path.compare(slash + 1, 4, "gone") == 0;
  };
  std::string want_out;
  std::string want_err;
  for (const char* threads : {"1", "2", "3", "8"}) {
    SCOPED_TRACE(threads);
    grow();
    meddling_file_system fs;
    fs.after_lookup = [](const std::string& dir) {
      for (const auto& e : std::filesystem::directory_iterator(dir.empty() ? "." : dir)) {
        if (e.path().filename().string().rfind("lost", 0) == 0) std::filesystem::remove(e);
      }
    };
    fs.before_open = [&](const std::string& path) {
      if (vanishing(path)) ::unlink(path.c_str());
    };
    const run_result r =
        run_on(fs, {"--threads", threads, "-v", "-r", "5859", "t"}, no_input.get());
    EXPECT_EQ(r.code, 0);
    if (want_out.empty()) {
      want_out = r.out;
      want_err = r.err;
      // Both kinds of vanishing, among the results.
      EXPECT_NE(want_err.find("/gone"), std::string::npos);
      EXPECT_NE(want_err.find("/lost"), std::string::npos);
      EXPECT_NE(want_out.find("t/d1/big.bin"), std::string::npos);
      continue;
    }
    EXPECT_EQ(r.out, want_out);
    EXPECT_EQ(r.err, want_err);
    EXPECT_GT(fs.opened_elsewhere, 100u) << "the workers opened no file";
  }
}

// ---------------------------------------------------------------------------------------------
// Reads that fail part way through an input

// A descriptor on which `data` reads normally and the read after it fails with EIO: the bytes
// are placed at the end of the readable part of a mapping, read back through /proc/self/mem,
// and the page that follows lies past the end of the memory file behind the mapping.
class failing_input {
 public:
  explicit failing_input(std::string_view data) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    readable_ = (data.size() + page - 1) / page * page;
    length_ = readable_ + page;
    const int memory = ::memfd_create("failing_input", MFD_CLOEXEC);
    if (memory < 0 || ::ftruncate(memory, static_cast<off_t>(readable_)) != 0) {
      throw std::runtime_error("memfd failed");
    }
    void* map = ::mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_SHARED, memory, 0);
    ::close(memory);
    if (map == MAP_FAILED) throw std::runtime_error("mmap failed");
    map_ = static_cast<char*>(map);
    start_ = map_ + (readable_ - data.size());
    data.copy(start_, data.size());
    fd_.reset(::open("/proc/self/mem", O_RDONLY | O_CLOEXEC));
    if (fd_.get() < 0) throw std::runtime_error("cannot open /proc/self/mem");
    rewind();
  }
  failing_input(const failing_input&) = delete;
  failing_input& operator=(const failing_input&) = delete;
  ~failing_input() { ::munmap(map_, length_); }

  int fd() const { return fd_.get(); }
  // Positions the descriptor at the first byte of the data again.
  void rewind() {
    const auto address = static_cast<off_t>(reinterpret_cast<std::uintptr_t>(start_));
    if (::lseek(fd_.get(), address, SEEK_SET) != address) throw std::runtime_error("lseek");
  }

 private:
  char* map_ = nullptr;
  char* start_ = nullptr;
  std::size_t readable_ = 0;
  std::size_t length_ = 0;
  unique_fd fd_;
};

// Random bytes with the pattern 58 ? 5A planted at the start, twice across the first
// read-block boundary and ending on the last byte.
std::string data_with_occurrences(std::size_t size) {
  std::mt19937 random(20260);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(random() % 8 + 'W');  // W..^: X and Z are common
  data.replace(0, 3, "X\x01Z");
  data.replace(k_block_size - 2, 4, "XXZZ");  // windows at the block's last two bytes
  data.replace(size - 3, 3, "X\x01Z");
  return data;
}

std::string expected_lines(std::string_view pattern_text, std::string_view data,
                           const std::string& name, std::uint64_t& count) {
  compiled_pattern pattern;
  EXPECT_TRUE(parse_pattern(pattern_text, false, pattern).ok());
  std::string text;
  const std::vector<std::uint64_t> offsets = naive_find_all(pattern, data);
  for (const std::uint64_t offset : offsets) text += line(offset, name);
  count = offsets.size();
  return text;
}

TEST(fault_read, read_failing_part_way_keeps_and_reports_what_was_read) {
  // More than a read block, so the failure comes in the second block, after a full one.
  const std::string data = data_with_occurrences(k_block_size + 40000);
  failing_input failing(data);
  {  // The self-test of the fixture: the data reads back whole, then the read fails.
    std::string back(data.size() + 100, '\0');
    std::size_t got = 0;
    ssize_t n;
    while ((n = ::read(failing.fd(), back.data() + got, back.size() - got)) > 0) {
      got += static_cast<std::size_t>(n);
    }
    ASSERT_EQ(n, -1);
    ASSERT_EQ(errno, EIO);
    ASSERT_EQ(back.substr(0, got), data);
    failing.rewind();
  }
  std::uint64_t count = 0;

  {  // Standard input: what came before the failure is searched and counted, then the
     // message, then the run ends normally with its summary.
    meddling_file_system fs;
    const std::string lines = expected_lines("58 ? 5A", data, "StdIn", count);
    ASSERT_GE(count, 4u);
    const run_result r = run_on(fs, {"-v", "58 ? 5A"}, failing.fd());
    EXPECT_EQ(r.out, k_banner_line + "Searching for HEX pattern 58 ?? 5A ...\n" +
                         searching("StdIn") + lines + summary(count, 1, data.size()));
    EXPECT_EQ(r.err, "Error reading file StdIn.\n");
    EXPECT_EQ(r.code, 0);
  }
  {  // A file in a walk: the message names it, and the next file is searched.
    temp_dir tmp;
    tmp.write_file("t/a.bin", "X-Z");
    tmp.write_file("t/b.bin", "");
    tmp.write_file("t/c.bin", "-X-Z");
    const scoped_chdir cd(tmp.path());
    const unique_fd no_input = input_file("");
    failing.rewind();
    meddling_file_system fs;
    fs.substitutes["t/b.bin"] = failing.fd();
    const std::string lines = expected_lines("58 ? 5A", data, "t/b.bin", count);
    const run_result r = run_on(fs, {"-v", "58 ? 5A", "t"}, no_input.get());
    EXPECT_EQ(r.out, k_banner_line + "Searching for HEX pattern 58 ?? 5A ...\n" +
                         searching("t/a.bin") + line(0, "t/a.bin") + searching("t/b.bin") + lines +
                         searching("t/c.bin") + line(1, "t/c.bin") +
                         summary(count + 2, 3, data.size() + 7));
    EXPECT_EQ(r.err, "Error reading file t/b.bin.\n");
    EXPECT_EQ(r.code, 0);
  }
  {  // A first read that fails (standard input is a directory): nothing searched, still
     // counted as one input.
    temp_dir tmp;
    const unique_fd directory(::open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_GE(directory.get(), 0);
    meddling_file_system fs;
    const run_result r = run_on(fs, {"-v", "5859"}, directory.get());
    EXPECT_EQ(r.out, k_banner_line + k_echo_5859 + searching("StdIn") + summary(0, 1, 0));
    EXPECT_EQ(r.err, "Error reading file StdIn.\n");
    EXPECT_EQ(r.code, 0);
  }
}

// ---------------------------------------------------------------------------------------------
// Standard output that fails part way through the results

// Limits the size of files this process writes and ignores the signal that would otherwise
// kill it, so a write past the limit fails with EFBIG: a disk that fills up at a known byte.
class file_size_limit {
 public:
  explicit file_size_limit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_limit_);
    saved_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_limit_;
    limit.rlim_cur = bytes;
    set_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  file_size_limit(const file_size_limit&) = delete;
  file_size_limit& operator=(const file_size_limit&) = delete;
  ~file_size_limit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_limit_);
    ::signal(SIGXFSZ, saved_handler_);
  }
  bool set() const { return set_; }

 private:
  rlimit saved_limit_{};
  void (*saved_handler_)(int) = nullptr;
  bool set_ = false;
};

// Bytes this process has read so far, by read() and pread() alike (the "rchar" of
// /proc/self/io): large files are read at offsets, so no descriptor offset tells.
std::uint64_t bytes_read_by_process() {
  FILE* io = std::fopen("/proc/self/io", "r");
  if (io == nullptr) throw std::runtime_error("cannot open /proc/self/io");
  unsigned long long rchar = 0;
  const int found = std::fscanf(io, "rchar: %llu", &rchar);
  std::fclose(io);
  if (found != 1) throw std::runtime_error("no rchar in /proc/self/io");
  return rchar;
}

TEST(fault_output, output_failing_part_way_stops_all_further_work) {
  constexpr std::size_t k_limit = 100000;
  constexpr std::size_t k_big = 2 * 1024 * 1024;
  temp_dir tmp;
  tmp.write_file("t/f0.bin", "A");
  tmp.write_file("t/a/f1.bin", std::string(k_big, 'A'));
  tmp.write_file("t/a/f2.bin", "A");
  tmp.write_file("t/b/f3.bin", "A");
  const std::string results = tmp.path("results.txt");
  const scoped_chdir cd(tmp.path());
  const unique_fd no_input = input_file("");
  const unique_fd big(::open("t/a/f1.bin", O_RDONLY | O_CLOEXEC));
  ASSERT_GE(big.get(), 0);
  const unique_fd out(::open(results.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  ASSERT_GE(out.get(), 0);

  meddling_file_system fs;
  fs.substitutes["t/a/f1.bin"] = big.get();
  run_result r;
  const std::uint64_t read_before = bytes_read_by_process();
  {
    const file_size_limit limit(k_limit);
    ASSERT_TRUE(limit.set());
    r = run_on(fs, {"-r", "41", "t", "missing.bin"}, no_input.get(), out.get());
  }
  const std::uint64_t read_during = bytes_read_by_process() - read_before;
  EXPECT_EQ(r.code, 5);
  EXPECT_EQ(r.err, "Error writing output.\n");
  // What the device took is the start of the results, exact and in order.
  std::string want = k_banner_line + line(0, "t/f0.bin");
  for (std::uint64_t offset = 0; want.size() < k_limit; ++offset) {
    want += line(offset, "t/a/f1.bin");
  }
  want.resize(k_limit);
  const unique_fd back(::open(results.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_GE(back.get(), 0);
  std::string written(k_limit + 1, '\0');
  const ssize_t n = ::pread(back.get(), written.data(), written.size(), 0);
  ASSERT_GE(n, 0);
  written.resize(static_cast<std::size_t>(n));
  EXPECT_EQ(written, want);
  // The missing argument got no message. One stream does not read the input being searched
  // when the output failed to its end, and opens and lists nothing after it; parallel search
  // runs ahead of its output, by at most its memory budget of held lines and a window of tasks.
  if (test_threads() == 1) {
    EXPECT_LT(read_during, k_big);
    EXPECT_EQ(fs.opened, (std::vector<std::string>{"t/f0.bin", "t/a/f1.bin"}));
    EXPECT_EQ(fs.listed, (std::vector<std::string>{"t/", "t/a/"}));
  }
}

}  // namespace
}  // namespace bytrove
