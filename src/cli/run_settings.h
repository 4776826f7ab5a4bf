#pragma once

#include <cstdint>

namespace bytrove {

// Attribute bits used by the directory walk's admission rule.
inline constexpr std::uint32_t k_attr_read_only = 0x01;
inline constexpr std::uint32_t k_attr_hidden = 0x02;
inline constexpr std::uint32_t k_attr_system = 0x04;
inline constexpr std::uint32_t k_attr_directory = 0x10;
inline constexpr std::uint32_t k_attr_archive = 0x20;

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
