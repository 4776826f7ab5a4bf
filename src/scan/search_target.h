#pragma once

#include <cstddef>

#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"

namespace bytrove {

class set_matcher;
class extended_matcher;

// What a run searches for: one pattern with its plan, a set of patterns searched at once, or
// brace patterns (one, or a set holding some) with their matcher.
// Points at data that outlives every search.
struct search_target {
  const compiled_pattern* pattern = nullptr;  // one pattern...
  const search_plan* plan = nullptr;
  const set_matcher* set = nullptr;            // ...or a set
  const extended_matcher* extended = nullptr;  // ...or brace patterns
  std::size_t members = 1;                     // patterns searched
  std::size_t length = 1;       // m, or the longest member's (a brace pattern's span)
  bool zeros_can_match = true;  // some occurrence may lie within a run of 00 bytes

  static search_target single(const compiled_pattern& pattern, const search_plan& plan);
};

}  // namespace bytrove
