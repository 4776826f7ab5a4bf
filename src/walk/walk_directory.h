#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "walk/file_system.h"

namespace bytrove {

// What the walk does with what it finds.
class walk_visitor {
 public:
  virtual ~walk_visitor() = default;
  // Searches one opened file and closes it (through the file system), now or later.
  virtual void search_file(const std::string& path, int fd) = 0;
  // Offered each file before the walk opens it (never a FIFO, socket or device): true when the
  // visitor takes it to open and search later, in this same place in the order, with the same
  // message should the open fail; the walk then leaves it alone, and `path` may have been
  // moved from.
  virtual bool search_unopened(std::string& /*path*/) { return false; }
  // Called before a FIFO, socket or device is opened: such an input is searched as one stream
  // after everything before it, and opening a FIFO lets its writer go on, so a search that
  // runs ahead of its output waits here until it has caught up.
  virtual void before_special_open() {}
  // After an open failed for want of descriptors: waits until files held by earlier work are
  // closed; true when the open is worth trying again.
  virtual bool wait_for_descriptors() { return false; }
  // Reports a file-level problem (one line, already formatted); the walk goes on.
  virtual void report_error(std::string_view message) = 0;
  // True once the run must end (standard output failed): the walk stops at once.
  virtual bool stopped() const = 0;
};

// Which names the walk passes over, for the whole run. Globs use the name wildcards ("*",
// "?") on the entry's name alone. They apply to what the walk finds by a wildcard or by
// recursion; a file named exactly on the command line is always searched.
struct walk_filters {
  std::vector<std::string> include;      // non-empty: only files matching one of these
  std::vector<std::string> exclude;      // files matching one of these are passed over
  std::vector<std::string> exclude_dir;  // directories not entered while recursing
  bool skip_file_links = false;          // symbolic links to files are passed over
};

class walk_read_ahead;  // walk/read_ahead.h

struct walk_options {
  bool recurse = false;
  std::uint32_t attribute_mask = 0;
  const walk_filters* filters = nullptr;  // none: every admitted entry
  // Walkers that list subdirectories and open files ahead of a recursive walk; none: the walk
  // does everything on its own thread. Either way the visitor sees the same calls in the same
  // order.
  walk_read_ahead* read_ahead = nullptr;
};

// The admission rule: an entry without the hidden, system and directory bits is always
// admitted; one with any of them only when it shares one of those bits with `mask`.
bool admitted(std::uint32_t attributes, std::uint32_t mask);

// Searches every admitted entry of `dir` whose name matches `name_pattern`, in byte-wise name
// order (an admitted directory is passed over without a word), then (with recursion) every
// real subdirectory below, depth first; links to directories are not entered, so link cycles
// cannot make the walk endless. `dir` is empty (the current directory) or ends in "/". Returns
// true when at least one entry matching name_pattern was admitted anywhere, whether or not it
// could be opened or was passed over by the filters.
bool walk_directory(file_system& fs, const std::string& dir, const std::string& name_pattern,
                    const walk_options& options, walk_visitor& visitor);

}  // namespace bytrove
