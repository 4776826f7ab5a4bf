#include "pattern/search_plan.h"

#include <array>

#include "pattern/byte_frequency.h"

namespace bytrove {
namespace {

std::array<std::int16_t, 256> frequencies_for(bool ignore_case) {
  std::array<std::int16_t, 256> freq = byte_frequency;
  if (ignore_case) {
    // A folded letter matches both cases, so it is as common as the two together.
    for (int c = 'a'; c <= 'z'; ++c) {
      freq[static_cast<std::size_t>(c)] = static_cast<std::int16_t>(
          freq[static_cast<std::size_t>(c)] + freq[static_cast<std::size_t>(c - 0x20)]);
    }
  }
  return freq;
}

// Stable insertion sort of slots 0..n-2, most common first, so that verifying from slot n-2
// downwards tests the rarest byte first. Slot n-1 (position m-1) stays where it is.
void sort_verification_order(const compiled_pattern& pattern, bool ignore_case, search_plan& plan) {
  const auto freq = frequencies_for(ignore_case);
  const int n = pattern.concrete_count;
  auto key = [&](std::int16_t position) {
    return freq[static_cast<std::uint8_t>(pattern.value[position])];
  };
  for (int i = 0; i < n; ++i) plan.order[i] = pattern.concrete[i];
  for (int i = 1; i <= n - 2; ++i) {
    const std::int16_t moving = plan.order[i];
    int j = i;
    while (j > 0 && key(plan.order[j - 1]) < key(moving)) {
      plan.order[j] = plan.order[j - 1];
      --j;
    }
    plan.order[j] = moving;
  }
}

void lower_entry(search_plan& plan, std::uint8_t byte, int shift) {
  if (shift < plan.byte_shift[byte]) plan.byte_shift[byte] = static_cast<std::int16_t>(shift);
}

void build_byte_shift(const compiled_pattern& pattern, bool ignore_case, search_plan& plan) {
  const int m = pattern.length;
  const int w = pattern.wild_end;
  for (auto& entry : plan.byte_shift) entry = static_cast<std::int16_t>(m - w);
  // Positions before the last wildcard never bound a skip: the wildcard does that already.
  for (int i = 0; i < pattern.concrete_count; ++i) {
    const int p = plan.order[i];
    if (p < w) continue;
    lower_entry(plan, plan.order_byte[i], m - 1 - p);
    if (ignore_case && plan.order_fold[i] == 1) {
      lower_entry(plan, static_cast<std::uint8_t>(plan.order_byte[i] & 0xDF), m - 1 - p);
    }
  }
}

// Generalised good-suffix rule over the verification order. For every shift s from m-1 down
// to 1, walk the slots in the order the matcher tests them and ask whether the pattern moved
// right by s is consistent with "slots above i matched, slot i did not". Because s falls, each
// field ends with the smallest shift that qualifies, which is the largest safe one.
void build_shifts(const compiled_pattern& pattern, bool ignore_case, search_plan& plan) {
  const int m = pattern.length;
  const int n = pattern.concrete_count;
  plan.match_shift = static_cast<std::int16_t>(m);
  for (int s = m - 1; s >= 1; --s) {
    bool walked_all = true;
    for (int i = n - 1; i >= 0; --i) {
      const int q = plan.order[i] - s;
      const auto shift = static_cast<std::int16_t>(s);
      if (q < 0 || pattern.value[q] == k_wildcard) {
        plan.mismatch_shift[i] = shift;
        continue;
      }
      const int slot_byte = plan.order_byte[i];
      const int q_value = pattern.value[q];
      if (!ignore_case || plan.order_fold[i] == pattern.fold[q]) {
        if (slot_byte == q_value) continue;
        plan.mismatch_shift[i] = shift;
        walked_all = false;
        break;
      }
      if (plan.order_fold[i] == 1) {  // slot folded, position q exact
        if (slot_byte == (q_value | 0x20)) continue;
        plan.mismatch_shift[i] = shift;
        walked_all = false;
        break;
      }
      // Slot exact, position q folded: a text byte that fails the slot may still fit q.
      plan.mismatch_shift[i] = shift;
      if ((slot_byte | 0x20) == q_value) continue;
      walked_all = false;
      break;
    }
    if (walked_all) plan.match_shift = static_cast<std::int16_t>(s);
  }
}

}  // namespace

search_plan build_search_plan(const compiled_pattern& pattern, bool ignore_case) {
  search_plan plan;
  sort_verification_order(pattern, ignore_case, plan);
  const int m = pattern.length;
  for (int i = 0; i < pattern.concrete_count; ++i) {
    const std::int16_t position = plan.order[i];
    plan.order_byte[i] = static_cast<std::uint8_t>(pattern.value[position] & 0xFF);
    plan.order_fold[i] = ignore_case ? pattern.fold[position] : std::int16_t{0};
    plan.order_or[i] = plan.order_fold[i] == 1 ? std::uint8_t{0x20} : std::uint8_t{0};
    plan.mismatch_shift[i] = static_cast<std::int16_t>(m);
  }
  build_byte_shift(pattern, ignore_case, plan);
  build_shifts(pattern, ignore_case, plan);
  plan.anchors = choose_anchors(pattern);
  return plan;
}

}  // namespace bytrove
