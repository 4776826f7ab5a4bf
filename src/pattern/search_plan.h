#pragma once

#include <cstdint>

#include "pattern/anchors.h"
#include "pattern/compiled_pattern.h"

namespace bytrove {

// Everything the matcher needs, built once per run from a compiled pattern and read-only
// afterwards. Slots i = 0..n-1 list the concrete positions in verification order; slot n-1 is
// always position m-1 and is settled by the skip loop, slots n-2 down to 0 are verified.
struct search_plan {
  std::int16_t order[k_max_positions] = {};
  std::uint8_t order_byte[k_max_positions] = {};
  std::int16_t order_fold[k_max_positions] = {};
  // 0x20 where order_fold is 1, else 0: a slot matches when (x | order_or[i]) == order_byte[i],
  // so folding costs no branch in the verification loop.
  std::uint8_t order_or[k_max_positions] = {};
  std::int16_t mismatch_shift[k_max_positions] = {};  // 1..m
  std::int16_t byte_shift[256] = {};                  // 0: byte may stand at position m-1
  std::int16_t match_shift = 0;                       // 1..m
  // Where the vector filter looks first, chosen by the same frequency table.
  vector_anchors anchors;
};

// Builds the plan: rarest-first verification order by the byte frequency table (with the
// letter counts folded together under ignore-case), the Horspool skip table bounded by the
// last wildcard, and the safe shift for every point of failure and after a match.
// `ignore_case` must be the setting the pattern was compiled with.
search_plan build_search_plan(const compiled_pattern& pattern, bool ignore_case);

}  // namespace bytrove
