#pragma once

#include <cstddef>

#include "pattern/compiled_pattern.h"
#include "pattern/extended_pattern.h"
#include "pattern/pattern_set.h"
#include "pattern/search_plan.h"

namespace bytrove {

class set_matcher;
class extended_matcher;

// What a run searches for: one pattern with its plan, a set of patterns searched at once, or
// brace patterns (one, or a set holding some) with their matcher. Built by the functions below
// (search_target.cpp), so that what each kind sets is decided in one place; the block scanner
// turns it into a block_matcher per thread (make_block_matcher).
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
  // `matcher` was built over `set`.
  static search_target of_set(const pattern_set& set, const set_matcher& matcher);
  // One brace pattern, `matcher` built over it.
  static search_target of_extended(const extended_pattern& pattern,
                                   const extended_matcher& matcher);
  // A set with brace members, `matcher` built over it.
  static search_target of_extended_set(const pattern_set& set, const extended_matcher& matcher);
};

}  // namespace bytrove
