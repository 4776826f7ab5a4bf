#pragma once

#include <cstddef>
#include <cstdint>

#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"

namespace bytrove {

// The matcher: Horspool's skip loop with rarest-first verification.
//
// The textbook loop, for a pattern P of length m over text T:
//
//   e = m - 1
//   while e < len(T):
//     if T[e-m+1 .. e] == P: report(e-m+1)
//     e += shift[T[e]]          // distance from T[e]'s rightmost place in P[0..m-2] to m-1
//
// This one differs in five ways:
//  1. Wildcards bound the skips. A wildcard accepts any byte, so no skip may carry the window
//     past it: every byte_shift entry is at most m - wild_end, and only positions at or after
//     the last wildcard lower an entry.
//  2. The skip loop runs until it meets a byte whose entry is 0, that is a byte that can stand
//     under position m-1; such a byte settles slot n-1 and is not compared again.
//  3. The remaining slots are verified rarest byte first (by the built-in frequency table), and
//     a failure at slot i moves the window by mismatch_shift[i], the smallest shift consistent
//     with "slots above i matched and slot i did not" (a good-suffix rule for this order).
//     After a full match the window moves by match_shift, so overlapping occurrences are found.
//  4. Case folding costs no branch: a folded slot holds a lower-case letter and order_or = 0x20,
//     so (x | order_or[i]) == order_byte[i] accepts both cases; exact slots OR with 0.
//  5. There is no end test. The caller plants a copy of the pattern's concrete bytes right
//     after the data, so the copy's window is a match and every loop stops on it at the latest.
//     Windows that reach past the data are the caller's to discard; occurrences that straddle
//     two blocks are found because the caller carries the last m-1 bytes into the next block.
//
// Invariant: every shift is safe, i.e. no window skipped over can hold an occurrence given
// what the loop has seen; so the first window returned at or after `start` is the first
// occurrence there (or the planted copy).
//
// Worst case: O(len * n) when the last byte is frequent and verification fails late, e.g.
// 00 00 ... 01 00 over a run of zero bytes; see bench/matcher_bench.cpp ("zero_run").
//
// Returns the start index (in `buf`) of the first matching window at or after `start`.
// Requires a planted copy at or after `start` (see plant_pattern_copy).
inline std::size_t find_candidate(const std::uint8_t* buf, std::size_t start,
                                  const compiled_pattern& pattern, const search_plan& plan) {
  const std::size_t last = static_cast<std::size_t>(pattern.length) - 1;
  const int verify_from = pattern.concrete_count - 2;
  std::size_t e = start + last;
  for (;;) {
    std::size_t skip;
    while ((skip = static_cast<std::size_t>(plan.byte_shift[buf[e]])) != 0) e += skip;
    const std::size_t p = e - last;
    int i = verify_from;
    while (i >= 0 && (buf[p + static_cast<std::size_t>(plan.order[i])] | plan.order_or[i]) ==
                         plan.order_byte[i]) {
      --i;
    }
    if (i < 0) return p;
    e = p + static_cast<std::size_t>(plan.mismatch_shift[i]) + last;
  }
}

// Writes the pattern's concrete bytes at buf[end .. end+m-1]; bytes under wildcards are left
// as they are. Needs m bytes of room after `end`.
inline void plant_pattern_copy(std::uint8_t* buf, std::size_t end, const compiled_pattern& pattern,
                               const search_plan& plan) {
  for (int i = 0; i < pattern.concrete_count; ++i) {
    buf[end + static_cast<std::size_t>(plan.order[i])] = plan.order_byte[i];
  }
}

}  // namespace bytrove
