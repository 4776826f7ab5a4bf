#pragma once

// A deliberately simple matcher, kept in test code only: every window is compared position by
// position, with none of the scanner's skip tables, verification order or planted copy. The
// scanner's results are checked against it.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "pattern/compiled_pattern.h"

namespace bytrove {

// True when the pattern matches `data` at `start` (the whole window must lie inside `data`).
// A wildcard accepts any byte; a folded position holds a lower-case letter and accepts both
// cases; every other position accepts its own byte only.
inline bool naive_matches_at(const compiled_pattern& pattern, std::string_view data,
                             std::size_t start) {
  const auto m = static_cast<std::size_t>(pattern.length);
  if (m == 0 || start + m > data.size()) return false;
  for (std::size_t k = 0; k < m; ++k) {
    const int want = pattern.value[k];
    if (want == k_wildcard) continue;
    const int x = static_cast<unsigned char>(data[start + k]);
    const bool ok = pattern.fold[k] != 0 ? (x | 0x20) == want : x == want;
    if (!ok) return false;
  }
  return true;
}

// Every offset at which the whole pattern matches, in increasing order, overlapping ones
// included.
inline std::vector<std::uint64_t> naive_find_all(const compiled_pattern& pattern,
                                                 std::string_view data) {
  std::vector<std::uint64_t> offsets;
  const auto m = static_cast<std::size_t>(pattern.length);
  if (m == 0 || data.size() < m) return offsets;
  for (std::size_t start = 0; start + m <= data.size(); ++start) {
    if (naive_matches_at(pattern, data, start)) offsets.push_back(start);
  }
  return offsets;
}

}  // namespace bytrove
