// The members of a pattern set packed into two shared tables (value and mask a position), and
// unpacked again where a whole compiled_pattern is wanted (the verbose echo, tests).
#include <algorithm>

#include "pattern/pattern_set.h"

namespace bytrove {

void pattern_set::add(std::string name, const compiled_pattern& pattern) {
  set_member& member = members.emplace_back();
  member.name = std::move(name);
  member.first = static_cast<std::uint32_t>(values.size());
  member.length = pattern.length;
  member.wild_end = static_cast<std::int16_t>(pattern.wild_end);
  for (int k = 0; k < pattern.length; ++k) {
    const int v = pattern.value[k];
    if (v == k_wildcard) {
      values.push_back(0);
      masks.push_back(0);
    } else if (pattern.fold[k] == 1) {
      values.push_back(static_cast<std::uint8_t>(v & 0xDF));
      masks.push_back(0xDF);
    } else {
      values.push_back(static_cast<std::uint8_t>(v));
      masks.push_back(0xFF);
    }
  }
  max_length = std::max<int>(max_length, pattern.length);
}

void pattern_set::add(std::string name, std::shared_ptr<const extended_pattern> pattern) {
  set_member& member = members.emplace_back();
  member.name = std::move(name);
  member.first = static_cast<std::uint32_t>(values.size());
  max_length = std::max<int>(max_length, static_cast<int>(pattern->max_length));
  member.extended = std::move(pattern);
  any_extended = true;
}

compiled_pattern pattern_set::pattern(std::size_t i) const {
  const set_member& member = members[i];
  compiled_pattern out;
  out.length = member.length;
  out.wild_end = member.wild_end;
  for (int k = 0; k < member.length; ++k) {
    const std::size_t at = member.first + static_cast<std::size_t>(k);
    if (masks[at] == 0) {
      out.value[k] = k_wildcard;
      continue;
    }
    out.fold[k] = masks[at] == 0xDF ? 1 : 0;
    out.value[k] = static_cast<std::int16_t>(masks[at] == 0xDF ? values[at] | 0x20 : values[at]);
    out.concrete[out.concrete_count++] = static_cast<std::int16_t>(k);
  }
  return out;
}

bool pattern_set::matches_in_zeros(std::size_t i) const {
  const set_member& member = members[i];
  const auto begin = values.begin() + member.first;
  return std::all_of(begin, begin + member.length, [](std::uint8_t v) { return v == 0; });
}

}  // namespace bytrove
