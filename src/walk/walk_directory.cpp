#include "walk/walk_directory.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "walk/file_system.h"
#include "walk/name_match.h"

namespace bytrove {
namespace {

constexpr std::uint32_t k_filtered_bits = k_attr_hidden | k_attr_system | k_attr_directory;

void search_entry(file_system& fs, const std::string& dir, const dir_entry& entry,
                  walk_visitor& visitor) {
  // A directory admitted through the hidden or system bit is no file to search, and no fault
  // either: reporting it would raise a false error on every ".git" under -h -r. It still
  // counts as matched, and recursion enters it as any other.
  if (entry.directory) return;
  const std::string path = dir + entry.name;
  if (entry.special) {
    visitor.before_special_open();
    if (visitor.stopped()) return;
  }
  int fd = fs.open_file(path, entry);
  // Files read ahead of the output hold descriptors: running out of them is a reason to wait
  // for that work, never to lose this file.
  while (fd < 0 && (errno == EMFILE || errno == ENFILE) && visitor.wait_for_descriptors()) {
    fd = fs.open_file(path, entry);
  }
  if (fd < 0) {
    visitor.report_error("Error opening file " + path + ".\n");
    return;
  }
  visitor.search_file(path, fd);
}

bool walk_level(file_system& fs, const std::string& dir, const std::string& name_pattern,
                const walk_options& options, walk_visitor& visitor, bool top) {
  const bool wildcards = has_wildcards(name_pattern);
  std::vector<dir_entry> entries;
  bool listed = false;
  if (wildcards || options.recurse) {
    listed = fs.list_directory(dir, entries);
    std::sort(entries.begin(), entries.end(),
              [](const dir_entry& a, const dir_entry& b) { return a.name < b.name; });
  }
  if (!listed && options.recurse && !top) {
    // Skipping it silently would hide that part of the tree went unsearched.
    visitor.report_error("Error reading directory " + dir + ".\n");
  }

  bool matched = false;
  auto consider = [&](const dir_entry& entry) {
    if (!admitted(attributes_of(entry), options.attribute_mask)) return;
    matched = true;
    search_entry(fs, dir, entry, visitor);
  };
  if (wildcards) {
    for (const dir_entry& entry : entries) {
      if (visitor.stopped()) return matched;
      if (name_matches(name_pattern, entry.name)) consider(entry);
    }
  } else if (listed) {
    // One exact name: no need to match every entry against it.
    const auto it = std::lower_bound(
        entries.begin(), entries.end(), name_pattern,
        [](const dir_entry& entry, const std::string& name) { return entry.name < name; });
    if (it != entries.end() && it->name == name_pattern) consider(*it);
  } else {
    dir_entry entry;
    if (fs.find_entry(dir, name_pattern, entry)) consider(entry);
  }

  if (!options.recurse) return matched;
  for (const dir_entry& entry : entries) {
    if (visitor.stopped()) break;
    if (!entry.directory || entry.link) continue;
    if (walk_level(fs, dir + entry.name + "/", name_pattern, options, visitor, false)) {
      matched = true;
    }
  }
  return matched;
}

}  // namespace

bool admitted(std::uint32_t attributes, std::uint32_t mask) {
  const std::uint32_t filtered = attributes & k_filtered_bits;
  return filtered == 0 || (filtered & mask) != 0;
}

bool walk_directory(file_system& fs, const std::string& dir, const std::string& name_pattern,
                    const walk_options& options, walk_visitor& visitor) {
  return walk_level(fs, dir, name_pattern, options, visitor, true);
}

}  // namespace bytrove
