#pragma once

// One directory's share of a walk, worked out from its listing alone: which entries are
// searched, in order, and which subdirectories are entered after them. Selecting is pure apart
// from the listing, so the walk on one thread and the walkers that read ahead of it pick exactly
// the same entries; the walk then does the rest in its order (walk_directory.cpp).

#include <functional>
#include <string>
#include <vector>

#include "walk/file_system.h"
#include "walk/walk_directory.h"

namespace bytrove {

struct directory_plan {
  std::string dir;               // as the walk names it: empty or ending in "/"
  bool listed = false;           // the listing succeeded
  bool unreadable = false;       // recursion met a directory it could not list: reported in place
  bool matched = false;          // an entry matching the name pattern was admitted
  std::vector<dir_entry> files;  // searched in this order
  std::vector<std::string> subdirs;  // entered in this order (recursion only)
  // Descriptors opened ahead, one per file (-1: not opened, the walk opens it itself); empty
  // when nothing was opened ahead.
  std::vector<int> fds;
};

// Lists `dir` (or looks up an exact name) and fills `plan`. `top`: the directory a file
// argument names, where an exact name is searched whatever the filters say and an unreadable
// directory is left for the caller's "Found no files" message. A listing that fails for want of
// descriptors is tried again as long as `more_descriptors` (when given) frees some.
void plan_directory(file_system& fs, const std::string& dir, const std::string& name_pattern,
                    const walk_options& options, bool top, directory_plan& plan,
                    const std::function<bool()>& more_descriptors = nullptr);

}  // namespace bytrove
