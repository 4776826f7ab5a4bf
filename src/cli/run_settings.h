#pragma once

#include <cstdint>

#include "walk/file_system.h"

namespace bytrove {

// The settings that switches change. Read by every stage at the moment it acts, so a
// switch between two file arguments only affects the arguments after it.
struct run_settings {
  bool ignore_case = false;
  bool recurse = false;
  bool verbose = false;
  std::uint32_t attribute_mask = k_attr_read_only | k_attr_archive;
  bool progress = false;  // --progress: live progress line on a terminal
};

}  // namespace bytrove
