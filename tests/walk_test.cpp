// The directory walk: its rules on an in-memory tree, and links, FIFOs and the like on the
// real file system.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "cli/run_settings.h"
#include "walk/file_system.h"
#include "walk/read_ahead.h"
#include "walk/walk_directory.h"

namespace bytrove {
namespace {

constexpr std::uint32_t k_default_mask = k_attr_read_only | k_attr_archive;
constexpr std::uint32_t k_hidden_mask = k_default_mask | k_attr_hidden;
constexpr std::uint32_t k_system_mask = k_default_mask | k_attr_system;
constexpr std::uint32_t k_both_mask = k_hidden_mask | k_attr_system;

// ---------------------------------------------------------------------------------------------
// An in-memory tree

struct fake_node {
  bool directory = false;
  bool special = false;
  bool link = false;
  bool readable = true;  // a directory that can be listed, a file that can be opened
};

// Paths are kept without a trailing "/"; "" is the current directory. Listings come back in
// reverse name order, so the walker's own sorting is what puts them in order.
class fake_file_system final : public file_system {
 public:
  fake_file_system() { nodes_[""] = fake_node{true}; }

  void add_file(const std::string& path, bool readable = true) {
    add(path, fake_node{false, false, false, readable});
  }
  void add_special(const std::string& path) { add(path, fake_node{false, true, false, true}); }
  void add_dir(const std::string& path, bool readable = true) {
    add(path, fake_node{true, false, false, readable});
  }
  // A link to a directory: it looks like a directory and holds what its target holds.
  void add_dir_link(const std::string& path) { add(path, fake_node{true, false, true, true}); }

  bool list_directory(const std::string& dir, std::vector<dir_entry>& entries) override {
    entries.clear();
    const std::string key = strip(dir);
    ++lists_[key];
    const auto it = nodes_.find(key);
    if (it == nodes_.end() || !it->second.directory || !it->second.readable) return false;
    for (auto node = nodes_.rbegin(); node != nodes_.rend(); ++node) {
      if (!node->first.empty() && parent_of(node->first) == key) {
        entries.push_back(entry_for(node->first, node->second));
      }
    }
    return true;
  }

  bool find_entry(const std::string& dir, const std::string& name, dir_entry& entry) override {
    const std::string key = strip(dir);
    const auto parent = nodes_.find(key);
    if (parent == nodes_.end() || !parent->second.directory || !parent->second.readable) {
      return false;
    }
    const auto it = nodes_.find(key.empty() ? name : key + "/" + name);
    if (it == nodes_.end()) return false;
    entry = entry_for(it->first, it->second);
    return true;
  }

  bool is_directory(const std::string& path) override {
    const auto it = nodes_.find(strip(path));
    return it != nodes_.end() && it->second.directory;
  }
  bool exists(const std::string& path) override { return nodes_.count(strip(path)) != 0; }

  int open_file(const std::string& path, const dir_entry& entry) override {
    const auto it = nodes_.find(path);
    EXPECT_NE(it, nodes_.end()) << "open of a path never listed: " << path;
    EXPECT_EQ(entry.name, path.substr(path.rfind('/') + 1));
    // Like open(2), a directory opens fine for reading; reading it is what fails.
    if (it == nodes_.end() || !it->second.readable) return -1;
    const int fd = next_fd_++;
    open_[fd] = path;
    return fd;
  }

  void close_file(int fd) override {
    EXPECT_EQ(open_.erase(fd), 1u) << "close of a descriptor that is not open: " << fd;
  }

  // The path an open descriptor belongs to, or "" when it is not open.
  std::string open_path(int fd) const {
    const auto it = open_.find(fd);
    return it == open_.end() ? std::string() : it->second;
  }
  std::size_t open_count() const { return open_.size(); }
  int times_listed(const std::string& dir) const {
    const auto it = lists_.find(strip(dir));
    return it == lists_.end() ? 0 : it->second;
  }

 private:
  void add(const std::string& path, fake_node node) {
    nodes_[path] = node;
    // Create missing parents as plain directories.
    for (std::string p = parent_of(path); !p.empty(); p = parent_of(p)) {
      if (nodes_.count(p) == 0) nodes_[p] = fake_node{true};
    }
  }
  static std::string strip(const std::string& dir) {
    return !dir.empty() && dir.back() == '/' ? dir.substr(0, dir.size() - 1) : dir;
  }
  static std::string parent_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
  }
  static dir_entry entry_for(const std::string& path, const fake_node& node) {
    dir_entry entry;
    entry.name = path.substr(path.rfind('/') + 1);
    entry.directory = node.directory;
    entry.special = node.special;
    entry.link = node.link;
    return entry;
  }

  std::map<std::string, fake_node> nodes_;
  std::map<std::string, int> lists_;
  std::map<int, std::string> open_;
  int next_fd_ = 1000;
};

// Records everything the walk does, in order: "scan <path>" and "error <message>".
class recording_visitor final : public walk_visitor {
 public:
  explicit recording_visitor(fake_file_system* fs = nullptr, int stop_after_scans = -1)
      : fs_(fs), stop_after_(stop_after_scans) {}

  void search_file(const std::string& path, int fd) override {
    if (fs_ != nullptr) {
      EXPECT_EQ(fs_->open_path(fd), path) << "scanned through a wrong handle";
    }
    events.push_back("scan " + path);
    ++scans_;
    if (fs_ != nullptr) fs_->close_file(fd);
  }
  void report_error(std::string_view message) override {
    events.push_back("error " + std::string(message));
  }
  bool stopped() const override { return stop_after_ >= 0 && scans_ >= stop_after_; }

  std::vector<std::string> events;

 private:
  fake_file_system* fs_;
  int stop_after_;
  int scans_ = 0;
};

struct walk_outcome {
  bool matched = false;
  std::vector<std::string> events;
};

// Runs one walk and collects what the visitor recorded.
template <class visitor_type>
walk_outcome walk_with(file_system& fs, visitor_type& visitor, const std::string& dir,
                       const std::string& pattern, std::uint32_t mask, bool recurse) {
  walk_options options;
  options.recurse = recurse;
  options.attribute_mask = mask;
  walk_outcome outcome;
  outcome.matched = walk_directory(fs, dir, pattern, options, visitor);
  outcome.events = visitor.events;
  return outcome;
}

walk_outcome walk(fake_file_system& fs, const std::string& dir, const std::string& pattern,
                  std::uint32_t mask = k_default_mask, bool recurse = false,
                  int stop_after_scans = -1) {
  recording_visitor visitor(&fs, stop_after_scans);
  const walk_outcome outcome = walk_with(fs, visitor, dir, pattern, mask, recurse);
  EXPECT_EQ(fs.open_count(), 0u) << "a file was left open";
  return outcome;
}

using event_list = std::vector<std::string>;

// ---------------------------------------------------------------------------------------------
// Admission

TEST(walk_directory, admission_by_attributes_and_mask) {
  fake_file_system fs;
  fs.add_file("d/plain");
  fs.add_file("d/.hidden");
  fs.add_special("d/fifo");
  fs.add_special("d/.hfifo");  // hidden and system
  fs.add_dir("d/sub");
  fs.add_dir("d/.hsub");
  fs.add_file("d/sub/inner");

  EXPECT_EQ(walk(fs, "d/", "*").events, (event_list{"scan d/plain"}));
  EXPECT_EQ(walk(fs, "d/", "*", k_hidden_mask).events,
            (event_list{"scan d/.hfifo", "scan d/.hidden", "scan d/plain"}));
  EXPECT_EQ(walk(fs, "d/", "*", k_system_mask).events,
            (event_list{"scan d/.hfifo", "scan d/fifo", "scan d/plain"}));
  EXPECT_EQ(walk(fs, "d/", "*", k_both_mask).events,
            (event_list{"scan d/.hfifo", "scan d/.hidden", "scan d/fifo", "scan d/plain"}));
  // Read-only and archive bits in the mask change nothing.
  EXPECT_EQ(walk(fs, "d/", "*", 0).events, (event_list{"scan d/plain"}));
  EXPECT_EQ(walk(fs, "d/", "*", k_attr_hidden).events, walk(fs, "d/", "*", k_hidden_mask).events);
}

TEST(walk_directory, admitted_rule_table) {
  const std::uint32_t h = k_attr_hidden;
  const std::uint32_t s = k_attr_system;
  const std::uint32_t d = k_attr_directory;
  const std::uint32_t ro_ar = k_attr_read_only | k_attr_archive;
  // Entries with none of the three bits are always admitted, whatever the mask.
  EXPECT_TRUE(admitted(0, 0));
  EXPECT_TRUE(admitted(ro_ar, 0));
  EXPECT_TRUE(admitted(k_attr_read_only, k_default_mask));
  // One shared bit of the three is enough; read-only and archive never help.
  EXPECT_FALSE(admitted(h, k_default_mask));
  EXPECT_FALSE(admitted(h | ro_ar, ro_ar));
  EXPECT_TRUE(admitted(h, k_hidden_mask));
  EXPECT_FALSE(admitted(s, k_hidden_mask));
  EXPECT_TRUE(admitted(h | s, k_hidden_mask));
  EXPECT_TRUE(admitted(h | s, k_system_mask));
  EXPECT_FALSE(admitted(h | s, k_default_mask | d));
  EXPECT_TRUE(admitted(d, k_default_mask | d));
  EXPECT_TRUE(admitted(d | h | s, k_default_mask | d));
  EXPECT_FALSE(admitted(d, k_both_mask));
  EXPECT_TRUE(admitted(d | h, k_hidden_mask));
}

TEST(walk_directory, hidden_directory_admitted_as_file_is_passed_over_silently_and_counts) {
  fake_file_system fs;
  fs.add_dir("top/.cache");
  fs.add_file("top/.cache/inside.bin");
  const walk_outcome got = walk(fs, "top/", ".c*", k_hidden_mask);
  EXPECT_TRUE(got.matched);
  EXPECT_EQ(got.events, event_list{});
  EXPECT_FALSE(walk(fs, "top/", ".c*").matched);  // not admitted without the switch
  // Recursion still enters it.
  EXPECT_EQ(walk(fs, "top/", "*", k_hidden_mask, true).events,
            (event_list{"scan top/.cache/inside.bin"}));
}

TEST(walk_directory, unopenable_file_is_reported_and_the_walk_goes_on) {
  fake_file_system fs;
  fs.add_file("top/a.bin");
  fs.add_file("top/b.bin", false);
  fs.add_file("top/c.bin");
  const walk_outcome got = walk(fs, "top/", "*.bin");
  EXPECT_TRUE(got.matched);
  EXPECT_EQ(got.events, (event_list{"scan top/a.bin", "error Error opening file top/b.bin.\n",
                                    "scan top/c.bin"}));
  // An entry that cannot be opened still counts as matched.
  fake_file_system only_locked;
  only_locked.add_file("top/b.bin", false);
  const walk_outcome locked = walk(only_locked, "top/", "*.bin");
  EXPECT_TRUE(locked.matched);
  EXPECT_EQ(locked.events, (event_list{"error Error opening file top/b.bin.\n"}));
}

// ---------------------------------------------------------------------------------------------
// Order and recursion

TEST(walk_directory, byte_order_files_first_then_subdirectories_depth_first) {
  fake_file_system fs;
  fs.add_file("top/b.bin");
  fs.add_file("top/a.bin");
  fs.add_file("top/B.bin");
  fs.add_file("top/\xC3\xA9.bin");  // bytes above 0x7F sort after ASCII
  fs.add_file("top/a.txt");
  fs.add_file("top/z/w.bin");
  fs.add_file("top/c/x.bin");
  fs.add_file("top/c/d/y.bin");
  fs.add_file("top/c/e.bin");
  fs.add_file("top/C/v.bin");
  const walk_outcome got = walk(fs, "top/", "*.bin", k_default_mask, true);
  EXPECT_TRUE(got.matched);
  EXPECT_EQ(got.events, (event_list{"scan top/B.bin", "scan top/a.bin", "scan top/b.bin",
                                    "scan top/\xC3\xA9.bin", "scan top/C/v.bin", "scan top/c/e.bin",
                                    "scan top/c/x.bin", "scan top/c/d/y.bin", "scan top/z/w.bin"}));
  // Without recursion only the top level.
  EXPECT_EQ(
      walk(fs, "top/", "*.bin").events,
      (event_list{"scan top/B.bin", "scan top/a.bin", "scan top/b.bin", "scan top/\xC3\xA9.bin"}));
}

TEST(walk_directory, current_directory_as_empty_prefix) {
  fake_file_system fs;
  fs.add_file("a.bin");
  fs.add_file("sub/b.bin");
  const walk_outcome got = walk(fs, "", "*.bin", k_default_mask, true);
  EXPECT_TRUE(got.matched);
  EXPECT_EQ(got.events, (event_list{"scan a.bin", "scan sub/b.bin"}));
}

TEST(walk_directory, hidden_directories_are_entered_while_recursing) {
  fake_file_system fs;
  fs.add_file("top/.git/config.bin");
  fs.add_file("top/.git/.secret.bin");
  fs.add_special("top/.git/dev.bin");
  const walk_outcome got = walk(fs, "top/", "*.bin", k_default_mask, true);
  EXPECT_TRUE(got.matched);
  EXPECT_EQ(got.events, (event_list{"scan top/.git/config.bin"}));
  EXPECT_EQ(walk(fs, "top/", "*.bin", k_both_mask, true).events,
            (event_list{"scan top/.git/.secret.bin", "scan top/.git/config.bin",
                        "scan top/.git/dev.bin"}));
}

TEST(walk_directory, links_to_directories_are_not_entered) {
  fake_file_system fs;
  fs.add_file("top/real/f.bin");
  fs.add_dir_link("top/link");
  fs.add_file("top/link/f.bin");
  const walk_outcome got = walk(fs, "top/", "*.bin", k_default_mask, true);
  EXPECT_EQ(got.events, (event_list{"scan top/real/f.bin"}));
  EXPECT_EQ(fs.times_listed("top/link/"), 0);
}

TEST(walk_directory, match_only_in_a_subdirectory_counts) {
  fake_file_system fs;
  fs.add_file("top/a.txt");
  fs.add_file("top/.x.bin");  // matches the name but is not admitted
  fs.add_file("top/sub/deeper/x.bin");
  const walk_outcome got = walk(fs, "top/", "*.bin", k_default_mask, true);
  EXPECT_TRUE(got.matched);
  EXPECT_EQ(got.events, (event_list{"scan top/sub/deeper/x.bin"}));
  const walk_outcome flat = walk(fs, "top/", "*.bin");
  EXPECT_FALSE(flat.matched);
  EXPECT_TRUE(flat.events.empty());
  fake_file_system none;
  none.add_file("top/a.txt");
  none.add_file("top/sub/b.txt");
  EXPECT_FALSE(walk(none, "top/", "*.bin", k_default_mask, true).matched);
}

TEST(walk_directory, unreadable_directories) {
  fake_file_system fs;
  fs.add_file("top/a.bin");
  fs.add_dir("top/locked", false);
  fs.add_file("top/locked/hidden_from_us.bin");
  fs.add_file("top/z/b.bin");
  // Below the top, an unreadable directory is reported and the walk goes on.
  const walk_outcome got = walk(fs, "top/", "*.bin", k_default_mask, true);
  EXPECT_TRUE(got.matched);
  EXPECT_EQ(got.events,
            (event_list{"scan top/a.bin", "error Error reading directory top/locked/.\n",
                        "scan top/z/b.bin"}));
  // At the top it is the caller's to report: no message, nothing matched.
  for (const bool recurse : {false, true}) {
    for (const char* pattern : {"*", "a.bin"}) {
      SCOPED_TRACE(testing::Message() << pattern << (recurse ? " recursive" : ""));
      const walk_outcome top = walk(fs, "top/locked/", pattern, k_default_mask, recurse);
      EXPECT_FALSE(top.matched);
      EXPECT_TRUE(top.events.empty());
      const walk_outcome missing = walk(fs, "nowhere/", pattern, k_default_mask, recurse);
      EXPECT_FALSE(missing.matched);
      EXPECT_TRUE(missing.events.empty());
    }
  }
}

TEST(walk_directory, literal_names) {
  fake_file_system fs;
  fs.add_file("top/a.bin");
  fs.add_file("top/a.binx");
  fs.add_file("top/.a.bin");
  fs.add_file("top/sub/a.bin");
  fs.add_file("top/sub/A.bin");
  fs.add_dir("top/dir");
  for (const bool recurse : {false, true}) {
    SCOPED_TRACE(recurse ? "recursive" : "flat");
    const walk_outcome got = walk(fs, "top/", "a.bin", k_default_mask, recurse);
    EXPECT_TRUE(got.matched);
    const event_list want =
        recurse ? event_list{"scan top/a.bin", "scan top/sub/a.bin"} : event_list{"scan top/a.bin"};
    EXPECT_EQ(got.events, want);
    EXPECT_FALSE(walk(fs, "top/", "a.bi", k_default_mask, recurse).matched);
    EXPECT_FALSE(walk(fs, "top/", "b.bin", k_default_mask, recurse).matched);
    // A hidden name given literally still needs the hidden switch.
    EXPECT_FALSE(walk(fs, "top/", ".a.bin", k_default_mask, recurse).matched);
    EXPECT_EQ(walk(fs, "top/", ".a.bin", k_hidden_mask, recurse).events,
              (event_list{"scan top/.a.bin"}));
    // A directory named literally is not admitted by default, and passed over under -h.
    EXPECT_FALSE(walk(fs, "top/", "dir", k_default_mask, recurse).matched);
  }
  fake_file_system hidden_dir;
  hidden_dir.add_dir("top/.d");
  const walk_outcome literal = walk(hidden_dir, "top/", ".d", k_hidden_mask);
  EXPECT_TRUE(literal.matched);
  EXPECT_EQ(literal.events, event_list{});
}

TEST(walk_directory, stops_when_the_visitor_says_so) {
  fake_file_system fs;
  fs.add_file("top/a.bin");
  fs.add_file("top/b.bin");
  fs.add_file("top/sub/c.bin");
  fs.add_file("top/sub/d.bin");
  fs.add_dir("top/sub2", false);  // would print a message if the walk went on into it
  fs.add_file("top/sub3/e.bin");
  EXPECT_EQ(walk(fs, "top/", "*.bin", k_default_mask, true, 1).events,
            (event_list{"scan top/a.bin"}));
  EXPECT_EQ(fs.times_listed("top/sub/"), 0);
  EXPECT_EQ(walk(fs, "top/", "*.bin", k_default_mask, true, 3).events,
            (event_list{"scan top/a.bin", "scan top/b.bin", "scan top/sub/c.bin"}));
  // Stopped inside a subdirectory: its later siblings are not entered.
  EXPECT_EQ(
      walk(fs, "top/", "*.bin", k_default_mask, true, 4).events,
      (event_list{"scan top/a.bin", "scan top/b.bin", "scan top/sub/c.bin", "scan top/sub/d.bin"}));
  EXPECT_EQ(fs.times_listed("top/sub3/"), 0);
  // Already stopped before the first entry: nothing at all is opened.
  EXPECT_TRUE(walk(fs, "top/", "*.bin", k_default_mask, true, 0).events.empty());
}

// ---------------------------------------------------------------------------------------------
// Walkers reading ahead: the visitor sees exactly what the walk alone shows it

// The in-memory tree behind a lock, so walkers may share it, with a descriptor limit: an open
// beyond `limit` files open fails with EMFILE, as a process's limit does.
class shared_file_system final : public file_system {
 public:
  shared_file_system(fake_file_system& fs, std::size_t limit) : fs_(fs), limit_(limit) {}
  bool list_directory(const std::string& dir, std::vector<dir_entry>& entries) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    return fs_.list_directory(dir, entries);
  }
  bool find_entry(const std::string& dir, const std::string& name, dir_entry& entry) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    return fs_.find_entry(dir, name, entry);
  }
  bool is_directory(const std::string& path) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    return fs_.is_directory(path);
  }
  bool exists(const std::string& path) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    return fs_.exists(path);
  }
  int open_file(const std::string& path, const dir_entry& entry) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (fs_.open_count() >= limit_) {
      errno = EMFILE;
      return -1;
    }
    return fs_.open_file(path, entry);
  }
  void close_file(int fd) override {
    const std::lock_guard<std::mutex> lock(mutex_);
    fs_.close_file(fd);
  }
  std::string open_path(int fd) {
    const std::lock_guard<std::mutex> lock(mutex_);
    return fs_.open_path(fd);
  }

 private:
  fake_file_system& fs_;
  std::mutex mutex_;
  std::size_t limit_;
};

// Records every call in order, FIFOs announced before they are opened.
class ordered_visitor final : public walk_visitor {
 public:
  ordered_visitor(shared_file_system& fs, int stop_after) : fs_(fs), stop_after_(stop_after) {}
  void search_file(const std::string& path, int fd) override {
    EXPECT_EQ(fs_.open_path(fd), path) << "scanned through a wrong handle";
    events.push_back("scan " + path);
    ++scans_;
    fs_.close_file(fd);
  }
  void before_special_open() override { events.push_back("special"); }
  void report_error(std::string_view message) override {
    events.push_back("error " + std::string(message));
  }
  bool stopped() const override { return stop_after_ >= 0 && scans_ >= stop_after_; }
  std::vector<std::string> events;

 private:
  shared_file_system& fs_;
  int stop_after_;
  int scans_ = 0;
};

// A random tree: directories to a few levels, files, unreadable entries, FIFOs, links to
// directories and hidden names, so every rule of the walk meets the walkers.
void grow_tree(fake_file_system& fs, std::mt19937& rng, const std::string& dir, int depth) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const int files = pick(9);
  for (int i = 0; i < files; ++i) {
    const std::string name = dir + (pick(6) == 0 ? "." : "") + "f" + std::to_string(pick(40));
    const int kind = pick(12);
    if (kind == 0) {
      fs.add_file(name, false);
    } else if (kind == 1) {
      fs.add_special(name);
    } else if (kind == 2) {
      fs.add_dir_link(name);
    } else {
      fs.add_file(name);
    }
  }
  if (depth == 0) return;
  const int dirs = pick(5);
  for (int i = 0; i < dirs; ++i) {
    const std::string sub = dir + (pick(5) == 0 ? "skip" : "d") + std::to_string(pick(30));
    if (pick(10) == 0) {
      fs.add_dir(sub, false);
    } else {
      fs.add_dir(sub);
      grow_tree(fs, rng, sub + "/", depth - 1);
    }
  }
}

struct ahead_case {
  unsigned walkers;
  std::size_t open_budget;
  std::size_t descriptor_limit;
};

walk_outcome walk_shared(fake_file_system& tree, const ahead_case* ahead,
                         const std::string& pattern, std::uint32_t mask,
                         const walk_filters& filters, int stop_after) {
  shared_file_system fs(tree, ahead != nullptr ? ahead->descriptor_limit : 1u << 20);
  ordered_visitor visitor(fs, stop_after);
  walk_options options;
  options.recurse = true;
  options.attribute_mask = mask;
  options.filters = &filters;
  std::optional<walk_read_ahead> read_ahead;
  if (ahead != nullptr) {
    read_ahead.emplace(fs, ahead->walkers, ahead->open_budget);
    options.read_ahead = &*read_ahead;
  }
  walk_outcome outcome;
  outcome.matched = walk_directory(fs, "top/", pattern, options, visitor);
  // A second walk through the same walkers, as a second file argument makes.
  if (ahead != nullptr && stop_after < 0) {
    outcome.matched = walk_directory(fs, "top/d1/", pattern, options, visitor) || outcome.matched;
  }
  read_ahead.reset();
  EXPECT_EQ(tree.open_count(), 0u) << "a file was left open";
  outcome.events = visitor.events;
  return outcome;
}

TEST(walk_read_ahead, same_calls_in_the_same_order_as_the_walk_alone) {
  const ahead_case cases[] = {{1, 64, 1u << 20}, {2, 1, 1u << 20}, {3, 0, 1u << 20},
                              {8, 4, 1u << 20},  {2, 64, 3},       {8, 512, 2}};
  const std::string patterns[] = {"*", "f1*", "*.none", "f7"};
  for (unsigned seed = 0; seed < 40; ++seed) {
    std::mt19937 rng(seed);
    fake_file_system tree;
    grow_tree(tree, rng, "top/", 1 + static_cast<int>(seed % 4));
    tree.add_file("top/d1/f1");
    const std::string& pattern = patterns[seed % 4];
    const std::uint32_t mask = seed % 3 == 0 ? k_both_mask : k_default_mask;
    walk_filters filters;
    if (seed % 5 == 1) filters.exclude_dir = {"skip*"};
    if (seed % 7 == 2) filters.exclude = {"f2*"};
    const int stop_after = seed % 6 == 5 ? static_cast<int>(seed % 11) : -1;
    // The reference: the walk alone.
    const walk_outcome want = walk_shared(tree, nullptr, pattern, mask, filters, stop_after);
    for (const ahead_case& c : cases) {
      SCOPED_TRACE("seed " + std::to_string(seed) + ", walkers " + std::to_string(c.walkers) +
                   ", budget " + std::to_string(c.open_budget) + ", limit " +
                   std::to_string(c.descriptor_limit));
      const walk_outcome got = walk_shared(tree, &c, pattern, mask, filters, stop_after);
      if (stop_after >= 0) {
        EXPECT_EQ(got.events, want.events);
        continue;
      }
      // Both walks of the run, one after the other.
      shared_file_system fs(tree, 1u << 20);
      ordered_visitor second(fs, -1);
      walk_options options;
      options.recurse = true;
      options.attribute_mask = mask;
      options.filters = &filters;
      const bool second_matched = walk_directory(fs, "top/d1/", pattern, options, second);
      event_list both = want.events;
      both.insert(both.end(), second.events.begin(), second.events.end());
      EXPECT_EQ(got.events, both);
      EXPECT_EQ(got.matched, want.matched || second_matched);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The real file system

class temp_dir {
 public:
  temp_dir() {
    char templ[] = "/tmp/bytrove_walk_XXXXXX";
    const char* made = ::mkdtemp(templ);
    EXPECT_NE(made, nullptr);
    path_ = made != nullptr ? std::string(made) + "/" : std::string();
  }
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  ~temp_dir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  // The directory, ending in "/".
  const std::string& path() const { return path_; }

  void write(const std::string& relative, const std::string& content) const {
    std::filesystem::create_directories(std::filesystem::path(path_ + relative).parent_path());
    const int fd = ::open((path_ + relative).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << relative;
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
  }
  void mkdir(const std::string& relative) const {
    std::filesystem::create_directories(path_ + relative);
  }
  void symlink(const std::string& target, const std::string& relative) const {
    ASSERT_EQ(::symlink(target.c_str(), (path_ + relative).c_str()), 0) << relative;
  }
  void mkfifo(const std::string& relative) const {
    ASSERT_EQ(::mkfifo((path_ + relative).c_str(), 0644), 0) << relative;
  }

 private:
  std::string path_;
};

// Reads each file it is handed to the end, so a descriptor that blocks or is not positioned
// at the start shows up.
class reading_visitor final : public walk_visitor {
 public:
  void search_file(const std::string& path, int fd) override {
    std::string content;
    char chunk[4096];
    for (;;) {
      const ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n <= 0) break;
      content.append(chunk, static_cast<std::size_t>(n));
    }
    events.push_back("scan " + path + " [" + content + "]");
    ::close(fd);
  }
  void report_error(std::string_view message) override {
    events.push_back("error " + std::string(message));
  }
  bool stopped() const override { return false; }

  std::vector<std::string> events;
};

walk_outcome walk_real(const std::string& dir, const std::string& pattern, std::uint32_t mask,
                       bool recurse) {
  posix_file_system fs;
  reading_visitor visitor;
  return walk_with(fs, visitor, dir, pattern, mask, recurse);
}

const dir_entry* find_listed(const std::vector<dir_entry>& entries, std::string_view name) {
  const auto it = std::find_if(entries.begin(), entries.end(),
                               [&](const dir_entry& e) { return e.name == name; });
  return it == entries.end() ? nullptr : &*it;
}

TEST(walk_directory_posix, entry_types) {
  temp_dir tmp;
  tmp.write("file", "x");
  tmp.write("real/f.bin", "in real");
  tmp.mkfifo("fifo");
  tmp.symlink("nowhere", "dangling");
  tmp.symlink("real", "linkdir");
  tmp.symlink("file", "linkfile");
  tmp.symlink("loop_b", "loop_a");
  tmp.symlink("loop_a", "loop_b");
  posix_file_system fs;
  std::vector<dir_entry> entries;
  ASSERT_TRUE(fs.list_directory(tmp.path(), entries));
  ASSERT_EQ(entries.size(), 8u);  // never "." or ".."
  struct expected_type {
    const char* name;
    bool directory;
    bool special;
    bool link;
  };
  const expected_type want[] = {
      {"file", false, false, false},  {"real", true, false, false},
      {"fifo", false, true, false},   {"dangling", false, false, true},
      {"linkdir", true, false, true}, {"linkfile", false, false, true},
      {"loop_a", false, false, true}, {"loop_b", false, false, true},
  };
  for (const expected_type& w : want) {
    SCOPED_TRACE(w.name);
    const dir_entry* e = find_listed(entries, w.name);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->directory, w.directory);
    EXPECT_EQ(e->special, w.special);
    EXPECT_EQ(e->link, w.link);
    // A lookup by name sees the same thing as the listing.
    dir_entry found;
    ASSERT_TRUE(fs.find_entry(tmp.path(), w.name, found));
    EXPECT_EQ(found.name, w.name);
    EXPECT_EQ(found.directory, w.directory);
    EXPECT_EQ(found.special, w.special);
    EXPECT_EQ(found.link, w.link);
  }
  dir_entry absent;
  EXPECT_FALSE(fs.find_entry(tmp.path(), "absent", absent));
  EXPECT_TRUE(fs.is_directory(tmp.path() + "linkdir"));
  EXPECT_FALSE(fs.is_directory(tmp.path() + "linkfile"));
  EXPECT_FALSE(fs.is_directory(tmp.path() + "dangling"));
}

TEST(walk_directory_posix, fifo_is_a_system_file_and_never_blocks) {
  temp_dir tmp;
  tmp.mkfifo("pipe");
  tmp.write("a.txt", "abc");
  const walk_outcome plain = walk_real(tmp.path(), "pipe", k_default_mask, false);
  EXPECT_FALSE(plain.matched);
  EXPECT_TRUE(plain.events.empty());
  // Admitted under the system switch; with no writer it reads as empty.
  const walk_outcome system = walk_real(tmp.path(), "*", k_system_mask, false);
  EXPECT_TRUE(system.matched);
  EXPECT_EQ(system.events,
            (event_list{"scan " + tmp.path() + "a.txt [abc]", "scan " + tmp.path() + "pipe []"}));
}

TEST(walk_directory_posix, dangling_links_and_link_loops_fail_to_open) {
  temp_dir tmp;
  tmp.symlink("nowhere", "dangling");
  tmp.symlink("loop_b", "loop_a");
  tmp.symlink("loop_a", "loop_b");
  const walk_outcome got = walk_real(tmp.path(), "*", k_default_mask, true);
  EXPECT_TRUE(got.matched);
  EXPECT_EQ(got.events, (event_list{"error Error opening file " + tmp.path() + "dangling.\n",
                                    "error Error opening file " + tmp.path() + "loop_a.\n",
                                    "error Error opening file " + tmp.path() + "loop_b.\n"}));
  // A dangling link still names something, so a "/" argument naming one looks like a path.
  posix_file_system fs;
  EXPECT_TRUE(fs.exists(tmp.path() + "dangling"));
  EXPECT_FALSE(fs.exists(tmp.path() + "nowhere"));
}

TEST(walk_directory_posix, links_to_directories_are_not_followed_while_recursing) {
  temp_dir tmp;
  tmp.write("real/f.bin", "data");
  tmp.symlink("real", "linkdir");
  tmp.symlink("..", "real/up");  // a cycle back to the top
  tmp.write("real/g.txt", "");
  const walk_outcome got = walk_real(tmp.path(), "*.bin", k_default_mask, true);
  EXPECT_TRUE(got.matched);
  EXPECT_EQ(got.events, (event_list{"scan " + tmp.path() + "real/f.bin [data]"}));
  // A directory named through a link is walked like any other.
  const walk_outcome through = walk_real(tmp.path() + "linkdir/", "*.bin", k_default_mask, true);
  EXPECT_EQ(through.events, (event_list{"scan " + tmp.path() + "linkdir/f.bin [data]"}));
}

TEST(walk_directory_posix, hidden_directory_under_the_hidden_switch_is_passed_over) {
  temp_dir tmp;
  tmp.write(".config/inside.bin", "x");
  const walk_outcome got = walk_real(tmp.path(), ".*", k_hidden_mask, false);
  EXPECT_TRUE(got.matched);
  EXPECT_EQ(got.events, event_list{});
}

TEST(walk_directory_posix, a_shared_directory_opens_its_files_on_another_thread_after_it_moved) {
  temp_dir tmp;
  tmp.write("d/f.bin", "in d");
  tmp.write("d/sub/g.bin", "in sub");
  tmp.write("e/h.bin", "in e");
  posix_file_system fs;
  std::vector<dir_entry> entries;
  const std::string d = tmp.path() + "d/";
  ASSERT_TRUE(fs.list_directory(d, entries));
  const std::shared_ptr<const open_directory> shared = fs.share_listed(d + "f.bin");
  ASSERT_NE(shared, nullptr);
  // Only an entry of the directory listed last, and no longer than the kernel takes whole.
  EXPECT_EQ(fs.share_listed(d + "sub/g.bin"), nullptr);
  EXPECT_EQ(fs.share_listed(tmp.path() + "e/h.bin"), nullptr);
  EXPECT_EQ(fs.share_listed(d), nullptr);
  EXPECT_EQ(fs.share_listed(d + std::string(PATH_MAX, 'n')), nullptr);
  // The walk moves on and the directory is renamed: the file opened is the one listed, while
  // its path now leads nowhere.
  ASSERT_TRUE(fs.list_directory(tmp.path() + "e/", entries));
  ASSERT_EQ(::rename((tmp.path() + "d").c_str(), (tmp.path() + "moved").c_str()), 0);
  std::string content;
  int by_path = 0;
  std::thread([&] {
    const int fd = fs.open_file_in(*shared, d + "f.bin", dir_entry{});
    char buffer[16];
    const ssize_t n = fd >= 0 ? ::read(fd, buffer, sizeof buffer) : -1;
    if (n > 0) content.assign(buffer, static_cast<std::size_t>(n));
    if (fd >= 0) ::close(fd);
    by_path = fs.open_file(d + "f.bin", dir_entry{});
  }).join();
  EXPECT_EQ(content, "in d");
  EXPECT_LT(by_path, 0);
}

TEST(walk_directory_posix, dot_entries_are_never_visited) {
  // Were "." and ".." listed, the hidden switch would admit them as hidden directories and
  // each would give an open error; "?" and "??" would match them.
  temp_dir tmp;
  tmp.write(".hidden", "h");
  tmp.write("sub/.inner", "i");
  const event_list hidden_files{"scan " + tmp.path() + ".hidden [h]",
                                "scan " + tmp.path() + "sub/.inner [i]"};
  EXPECT_EQ(walk_real(tmp.path(), "*", k_both_mask, true).events, hidden_files);
  EXPECT_EQ(walk_real(tmp.path(), ".*", k_both_mask, true).events, hidden_files);
  for (const char* pattern : {"?", "??"}) {
    SCOPED_TRACE(pattern);
    const walk_outcome got = walk_real(tmp.path(), pattern, k_both_mask, true);
    EXPECT_FALSE(got.matched);
    EXPECT_TRUE(got.events.empty());
  }
}

}  // namespace
}  // namespace bytrove
