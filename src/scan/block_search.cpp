#include "scan/block_search.h"

#include <cstring>

#include "pattern/byte_frequency.h"
#include "scan/matcher.h"

namespace bytrove {
namespace {

// How common the byte(s) a position accepts are, by `counts` (one entry per byte value).
std::uint64_t anchor_cost(const compiled_pattern& pattern, int position,
                          const std::uint64_t* counts) {
  const auto value = static_cast<std::size_t>(pattern.value[position]);
  std::uint64_t cost = counts[value];
  if (pattern.fold[position] == 1) cost += counts[value & 0xDF];
  return cost;
}

vector_anchors anchors_by_counts(const compiled_pattern& pattern, const std::uint64_t* counts) {
  const int n = pattern.concrete_count;
  // The rarest position, then the rarest other one; on a tie the later position wins, as the
  // end of a pattern tends to be more specific than its start (headers share prefixes).
  int first = -1;
  int second = -1;
  for (int i = 0; i < n; ++i) {
    const int position = pattern.concrete[i];
    if (first < 0 ||
        anchor_cost(pattern, position, counts) <= anchor_cost(pattern, first, counts)) {
      first = position;
    }
  }
  for (int i = 0; i < n; ++i) {
    const int position = pattern.concrete[i];
    if (position == first) continue;
    if (second < 0 ||
        anchor_cost(pattern, position, counts) <= anchor_cost(pattern, second, counts)) {
      second = position;
    }
  }
  if (second < 0) second = first;

  vector_anchors anchors;
  auto fill = [&](int position, std::size_t& pos, std::uint8_t& byte, std::uint8_t& mask) {
    pos = static_cast<std::size_t>(position);
    byte = static_cast<std::uint8_t>(pattern.value[position]);
    // A folded letter is stored in lower case; masking out 0x20 accepts exactly its two cases.
    mask = pattern.fold[position] == 1 ? std::uint8_t{0xDF} : std::uint8_t{0xFF};
  };
  fill(first, anchors.pos1, anchors.byte1, anchors.mask1);
  fill(second, anchors.pos2, anchors.byte2, anchors.mask2);
  anchors.exact = n <= 2;
  return anchors;
}

}  // namespace

vector_anchors choose_anchors(const compiled_pattern& pattern) {
  std::uint64_t counts[256];
  for (std::size_t b = 0; b < 256; ++b) counts[b] = static_cast<std::uint64_t>(byte_frequency[b]);
  return anchors_by_counts(pattern, counts);
}

vector_anchors choose_anchors_for_data(const compiled_pattern& pattern, const std::uint8_t* data,
                                       std::size_t size) {
  std::uint64_t counts[256] = {};
  for (std::size_t i = 0; i < size; ++i) ++counts[data[i]];
  return anchors_by_counts(pattern, counts);
}

block_result search_block_horspool(const block_job& job, std::uint32_t* positions) {
  const compiled_pattern& pattern = *job.pattern;
  const search_plan& plan = *job.plan;
  const std::size_t m = static_cast<std::size_t>(pattern.length);
  const std::size_t step = static_cast<std::size_t>(plan.match_shift);
  block_result result;
  std::size_t p = find_candidate(job.buf, 0, pattern, plan);
  while (p + m <= job.end) {
    positions[result.matches++] = static_cast<std::uint32_t>(p);
    p = find_candidate(job.buf, p + step, pattern, plan);
  }
  result.candidates = result.matches;
  return result;
}

block_search_fn select_block_search(matcher_kind kind) {
  __builtin_cpu_init();
  const bool has_avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  const bool has_avx2 = __builtin_cpu_supports("avx2");
  switch (kind) {
    case matcher_kind::horspool:
      return search_block_horspool;
    case matcher_kind::sse2:
      return search_block_sse2;
    case matcher_kind::avx2:
      if (has_avx2) return search_block_avx2;
      break;
    case matcher_kind::avx512:
    case matcher_kind::automatic:
      break;
  }
  if (has_avx512) return search_block_avx512;
  if (has_avx2) return search_block_avx2;
  return search_block_sse2;
}

matcher_kind parse_matcher_kind(const char* text) {
  if (text == nullptr) return matcher_kind::automatic;
  if (std::strcmp(text, "horspool") == 0) return matcher_kind::horspool;
  if (std::strcmp(text, "sse2") == 0) return matcher_kind::sse2;
  if (std::strcmp(text, "avx2") == 0) return matcher_kind::avx2;
  if (std::strcmp(text, "avx512") == 0) return matcher_kind::avx512;
  return matcher_kind::automatic;
}

}  // namespace bytrove
