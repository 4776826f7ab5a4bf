#include "pattern/anchors.h"

#include "pattern/byte_frequency.h"

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

}  // namespace bytrove
