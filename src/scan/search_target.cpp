#include "scan/search_target.h"

#include "scan/extended_matcher.h"
#include "scan/read_plan.h"

namespace bytrove {
namespace {

bool member_matches_in_zeros(const pattern_set& set, std::size_t i) {
  const set_member& member = set.members[i];
  return member.extended ? extended_matches_in_zeros(*member.extended) : set.matches_in_zeros(i);
}

bool any_member_matches_in_zeros(const pattern_set& set) {
  for (std::size_t i = 0; i < set.members.size(); ++i) {
    if (member_matches_in_zeros(set, i)) return true;
  }
  return false;
}

// Brace patterns, alone or in a set, are searched by one extended matcher over its whole span.
search_target of_brace(const extended_matcher& matcher, std::size_t members, bool zeros_can_match) {
  search_target target;
  target.extended = &matcher;
  target.members = members;
  target.length = matcher.span();
  target.zeros_can_match = zeros_can_match;
  return target;
}

}  // namespace

search_target search_target::single(const compiled_pattern& pattern, const search_plan& plan) {
  search_target target;
  target.pattern = &pattern;
  target.plan = &plan;
  target.length = static_cast<std::size_t>(pattern.length);
  target.zeros_can_match = matches_in_zeros(pattern);
  return target;
}

search_target search_target::of_set(const pattern_set& set, const set_matcher& matcher) {
  search_target target;
  target.set = &matcher;
  target.members = set.members.size();
  target.length = static_cast<std::size_t>(set.max_length);
  target.zeros_can_match = any_member_matches_in_zeros(set);
  return target;
}

search_target search_target::of_extended(const extended_pattern& pattern,
                                         const extended_matcher& matcher) {
  return of_brace(matcher, 1, extended_matches_in_zeros(pattern));
}

search_target search_target::of_extended_set(const pattern_set& set,
                                             const extended_matcher& matcher) {
  return of_brace(matcher, set.members.size(), any_member_matches_in_zeros(set));
}

}  // namespace bytrove
