#pragma once

// A deliberately simple matcher, kept in test code only: every window is compared position by
// position, with none of the scanner's skip tables, verification order or planted copy. The
// scanner's results are checked against it.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "pattern/compiled_pattern.h"
#include "pattern/extended_pattern.h"

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

// Brace patterns, the obvious way: every expansion written out as a list of byte classes (a
// jump [n-m] becomes each of n..m wildcards, an alternative each of its branches), then each
// compared at each start. Exponential in the pattern, so for small ones only: returns false
// when there would be more than `limit` expansions.
using naive_expansion = std::vector<const byte_class*>;

inline bool naive_expand(const std::vector<extended_item>& items, std::size_t limit,
                         std::vector<naive_expansion>& out) {
  static const byte_class any = [] {
    byte_class c;
    for (unsigned v = 0; v < 256; ++v) c.add(v);
    return c;
  }();
  std::vector<naive_expansion> partial(1);
  for (const extended_item& item : items) {
    std::vector<naive_expansion> next;
    for (const naive_expansion& head : partial) {
      if (item.type == extended_item::kind::bytes) {
        next.push_back(head);
        next.back().push_back(&item.accepts);
      } else if (item.type == extended_item::kind::jump) {
        if (item.max - item.min >= limit) return false;
        for (std::uint32_t k = item.min; k <= item.max; ++k) {
          next.push_back(head);
          next.back().insert(next.back().end(), k, &any);
        }
      } else {
        for (const std::vector<extended_item>& branch : item.branches) {
          std::vector<naive_expansion> tails;
          if (!naive_expand(branch, limit, tails)) return false;
          for (const naive_expansion& tail : tails) {
            next.push_back(head);
            next.back().insert(next.back().end(), tail.begin(), tail.end());
          }
        }
      }
      if (next.size() > limit) return false;
    }
    partial.swap(next);
  }
  out.insert(out.end(), partial.begin(), partial.end());
  return true;
}

// An occurrence of a brace pattern: where, and its shortest expansion that matches there.
struct naive_hit {
  std::uint64_t start;
  std::uint32_t length;
  bool operator==(const naive_hit&) const = default;
};

// Every start at which some expansion lies wholly inside `data` and matches, with the shortest
// such expansion's length. The caller checked that naive_expand succeeded.
inline std::vector<naive_hit> naive_find_all(const std::vector<naive_expansion>& expansions,
                                             std::string_view data) {
  std::vector<naive_hit> hits;
  for (std::size_t start = 0; start < data.size(); ++start) {
    std::uint32_t best = 0;
    for (const naive_expansion& e : expansions) {
      if (start + e.size() > data.size() || (best != 0 && e.size() >= best)) continue;
      bool ok = true;
      for (std::size_t k = 0; ok && k < e.size(); ++k) {
        ok = e[k]->has(static_cast<unsigned char>(data[start + k]));
      }
      if (ok) best = static_cast<std::uint32_t>(e.size());
    }
    if (best != 0) hits.push_back({start, best});
  }
  return hits;
}

}  // namespace bytrove
