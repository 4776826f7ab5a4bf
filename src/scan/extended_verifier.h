#pragma once

// Decides whether an extended pattern matches at one start, and how short the match can be,
// without backtracking: the verifier follows the set of offsets (from the start) that the
// items read so far can end at, one item at a time, as a bitset over the pattern's span.
//   - a byte item keeps each offset p whose byte it accepts, as p + 1;
//   - a jump [n-m] turns each offset p into the range p+n .. p+m (ranges filled word-wise,
//     each offset filled once however many ranges cover it);
//   - an alternative is the union of its branches, each followed from the same set.
// Cost per start: O(items x offsets alive), at most items x span; a start whose first byte
// does not fit is rejected at once. Owns its bitsets: one verifier per thread.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pattern/extended_pattern.h"

namespace bytrove {

class extended_verifier {
 public:
  // The length of the shortest expansion of `pattern` that matches data[start, len); 0 when
  // none does.
  std::uint32_t shortest(const extended_pattern& pattern, const std::uint8_t* data, std::size_t len,
                         std::size_t start);
  // Whether a match at `start` is still undecided: none lies in data[start, len), but one
  // might once bytes past `len` come (a live stream that has paused). Whatever the data ends
  // with, a match found within it is shorter than any that would run past it.
  bool could_still_match(const extended_pattern& pattern, const std::uint8_t* data, std::size_t len,
                         std::size_t start);

 private:
  struct offsets {
    std::vector<std::uint64_t> words;
    std::uint32_t lo = 1;  // the set bits lie in [lo, hi]; empty when lo > hi
    std::uint32_t hi = 0;
  };
  std::size_t acquire();
  void release(std::size_t set);
  void insert(offsets& s, std::uint32_t p);
  void insert_range(offsets& s, std::uint32_t from, std::uint32_t to);
  std::size_t run(const std::vector<extended_item>& items, std::size_t in);
  std::size_t apply(const extended_item& item, std::size_t in);
  // Follows `pattern` from `start` over data[start, len) into limit_; the set of end offsets.
  std::size_t follow(const extended_pattern& pattern, const std::uint8_t* data, std::size_t len,
                     std::size_t start);

  std::vector<offsets> pool_;
  std::vector<std::size_t> free_;
  std::size_t words_ = 0;
  const std::uint8_t* base_ = nullptr;  // data + start
  std::uint32_t limit_ = 0;             // offsets past this are not followed
  bool ran_past_ = false;               // an offset was cut at limit_ or went past it
};

}  // namespace bytrove
