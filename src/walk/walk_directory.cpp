#include "walk/walk_directory.h"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <vector>

#include "walk/directory_plan.h"
#include "walk/file_system.h"
#include "walk/name_match.h"
#include "walk/read_ahead.h"

namespace bytrove {
namespace {

constexpr std::uint32_t k_filtered_bits = k_attr_hidden | k_attr_system | k_attr_directory;

// Opens and searches one file in the walk's turn. `free_descriptors` gives back descriptors
// held ahead of this file; true when it had any.
template <class release>
void search_entry(file_system& fs, const std::string& dir, const dir_entry& entry,
                  walk_visitor& visitor, release free_descriptors) {
  std::string path = dir + entry.name;
  if (!entry.special && visitor.search_unopened(path)) return;
  if (entry.special) {
    visitor.before_special_open();
    if (visitor.stopped()) return;
  }
  int fd = fs.open_file(path, entry);
  // Files read ahead of the output hold descriptors: running out of them is a reason to wait
  // for that work, never to lose this file.
  while (fd < 0 && (errno == EMFILE || errno == ENFILE) &&
         (visitor.wait_for_descriptors() || free_descriptors())) {
    fd = fs.open_file(path, entry);
  }
  if (fd < 0) {
    visitor.report_error("Error opening file " + path + ".\n");
    return;
  }
  visitor.search_file(path, fd);
}

bool any_matches(const std::vector<std::string>& globs, const std::string& name) {
  for (const std::string& glob : globs) {
    if (name_matches(glob, name)) return true;
  }
  return false;
}

// False for a file the filters pass over.
bool wanted_file(const walk_filters* filters, const dir_entry& entry) {
  if (filters == nullptr || entry.directory) return true;
  if (filters->skip_file_links && entry.link) return false;
  if (!filters->include.empty() && !any_matches(filters->include, entry.name)) return false;
  return !any_matches(filters->exclude, entry.name);
}

// The walk on its own thread: every listing and open in its turn.
bool walk_level(file_system& fs, const std::string& dir, const std::string& name_pattern,
                const walk_options& options, walk_visitor& visitor, bool top) {
  directory_plan plan;
  plan_directory(fs, dir, name_pattern, options, top, plan,
                 [&] { return visitor.wait_for_descriptors(); });
  // Skipping it silently would hide that part of the tree went unsearched.
  if (plan.unreadable) visitor.report_error("Error reading directory " + dir + ".\n");
  for (const dir_entry& entry : plan.files) {
    if (visitor.stopped()) return plan.matched;
    search_entry(fs, dir, entry, visitor, [] { return false; });
  }
  bool matched = plan.matched;
  for (const std::string& name : plan.subdirs) {
    if (visitor.stopped()) break;
    if (walk_level(fs, dir + name + "/", name_pattern, options, visitor, false)) matched = true;
  }
  return matched;
}

// The same walk with walkers listing and opening ahead of it: the plans come from them, the
// order and every call on the visitor stay the walk's. `key` is this directory's place.
bool walk_ahead(file_system& fs, const std::string& dir, const std::string& name_pattern,
                const walk_options& options, walk_visitor& visitor, walk_read_ahead::walk_key& key,
                bool top) {
  walk_read_ahead& ahead = *options.read_ahead;
  std::shared_ptr<walk_read_ahead::job> taken;
  directory_plan local;
  const std::function<bool()> more_descriptors = [&] {
    return visitor.wait_for_descriptors() || ahead.release_descriptors();
  };
  if (top) {
    plan_directory(fs, dir, name_pattern, options, true, local, more_descriptors);
  } else {
    taken = ahead.take(key, dir, more_descriptors);
  }
  const directory_plan& plan = taken ? walk_read_ahead::plan_of(*taken) : local;
  // Whatever ends this level (the run stopping, an exception) closes what it still holds.
  struct held_files {
    walk_read_ahead& ahead;
    walk_read_ahead::job* j;
    ~held_files() {
      if (j != nullptr) ahead.close_ahead(*j, 0);
    }
  } held{ahead, taken.get()};
  if (plan.unreadable) visitor.report_error("Error reading directory " + dir + ".\n");
  for (std::size_t i = 0; i < plan.files.size(); ++i) {
    if (visitor.stopped()) return plan.matched;
    const int fd = taken ? ahead.take_descriptor(*taken, i) : -1;
    if (fd >= 0) {
      visitor.search_file(dir + plan.files[i].name, fd);
      continue;
    }
    // Not opened ahead (no room, a FIFO, a failed open): opened now, exactly as without
    // walkers; short of descriptors, those held for the files after it are given back too.
    search_entry(fs, dir, plan.files[i], visitor, [&] {
      const bool mine = taken && ahead.close_ahead(*taken, i + 1);
      return ahead.release_descriptors() || mine;
    });
  }
  bool matched = plan.matched;
  for (std::size_t i = 0; i < plan.subdirs.size(); ++i) {
    if (visitor.stopped()) break;
    // Siblings left out while the planned directories were at their bound are asked for as
    // the walk gets to them.
    ahead.request(key, dir, plan.subdirs, i);
    key.push_back(static_cast<std::uint32_t>(i));
    const bool below =
        walk_ahead(fs, dir + plan.subdirs[i] + "/", name_pattern, options, visitor, key, false);
    key.pop_back();
    if (below) matched = true;
  }
  return matched;
}

}  // namespace

bool admitted(std::uint32_t attributes, std::uint32_t mask) {
  const std::uint32_t filtered = attributes & k_filtered_bits;
  return filtered == 0 || (filtered & mask) != 0;
}

void plan_directory(file_system& fs, const std::string& dir, const std::string& name_pattern,
                    const walk_options& options, bool top, directory_plan& plan,
                    const std::function<bool()>& more_descriptors) {
  plan.dir = dir;
  plan.files.clear();
  plan.subdirs.clear();
  plan.fds.clear();
  plan.matched = false;
  const bool wildcards = has_wildcards(name_pattern);
  std::vector<dir_entry> entries;
  plan.listed = false;
  if (wildcards || options.recurse) {
    plan.listed = fs.list_directory(dir, entries);
    // Files read ahead of the output hold descriptors: running out of them is a reason to
    // wait for that work, never to report the directory unreadable.
    while (!plan.listed && (errno == EMFILE || errno == ENFILE) && more_descriptors &&
           more_descriptors()) {
      plan.listed = fs.list_directory(dir, entries);
    }
    std::sort(entries.begin(), entries.end(),
              [](const dir_entry& a, const dir_entry& b) { return a.name < b.name; });
  }
  plan.unreadable = !plan.listed && options.recurse && !top;

  // A name written out on the command line is searched whatever the filters say.
  const walk_filters* filters = top && !wildcards ? nullptr : options.filters;
  auto consider = [&](const dir_entry& entry) {
    if (!admitted(attributes_of(entry), options.attribute_mask)) return;
    plan.matched = true;
    // A directory admitted through the hidden or system bit is no file to search, and no
    // fault either: reporting it would raise a false error on every ".git" under -h -r. It
    // still counts as matched, and recursion enters it as any other.
    if (!entry.directory && wanted_file(filters, entry)) plan.files.push_back(entry);
  };
  if (wildcards) {
    for (const dir_entry& entry : entries) {
      if (name_matches(name_pattern, entry.name)) consider(entry);
    }
  } else if (plan.listed) {
    // One exact name: no need to match every entry against it.
    const auto it = std::lower_bound(
        entries.begin(), entries.end(), name_pattern,
        [](const dir_entry& entry, const std::string& name) { return entry.name < name; });
    if (it != entries.end() && it->name == name_pattern) consider(*it);
  } else {
    dir_entry entry;
    if (fs.find_entry(dir, name_pattern, entry)) consider(entry);
  }

  if (!options.recurse) return;
  for (dir_entry& entry : entries) {
    if (!entry.directory || entry.link) continue;
    if (options.filters != nullptr && any_matches(options.filters->exclude_dir, entry.name)) {
      continue;
    }
    plan.subdirs.push_back(std::move(entry.name));
  }
}

bool walk_directory(file_system& fs, const std::string& dir, const std::string& name_pattern,
                    const walk_options& options, walk_visitor& visitor) {
  if (options.read_ahead == nullptr || !options.recurse) {
    return walk_level(fs, dir, name_pattern, options, visitor, true);
  }
  // Links to directories are never entered, so no directory is reached twice and every place
  // in the walk names exactly one directory.
  options.read_ahead->begin(name_pattern, options);
  walk_read_ahead::walk_key key;
  bool matched = false;
  try {
    matched = walk_ahead(fs, dir, name_pattern, options, visitor, key, true);
  } catch (...) {
    options.read_ahead->end();
    throw;
  }
  options.read_ahead->end();
  return matched;
}

}  // namespace bytrove
