#pragma once

#include <cstddef>
#include <cstdint>

#include "pattern/compiled_pattern.h"

namespace bytrove {

// Plain data for the vector filter: two anchor positions (the rarest concrete bytes by the
// frequency table; the same position twice when the pattern has one concrete byte), compared
// through a mask (0xDF for a folded letter, which accepts exactly its two cases).
struct vector_anchors {
  std::size_t pos1 = 0;
  std::size_t pos2 = 0;
  std::uint8_t byte1 = 0;
  std::uint8_t byte2 = 0;
  std::uint8_t mask1 = 0xFF;
  std::uint8_t mask2 = 0xFF;
  bool exact = false;  // the anchors cover every concrete position: a candidate is a match
};

// Anchors by the built-in byte frequency table: the choice before any data has been seen.
vector_anchors choose_anchors(const compiled_pattern& pattern);
// Anchors by the byte counts of `data`: for an input whose bytes are distributed unlike the
// table's typical files.
vector_anchors choose_anchors_for_data(const compiled_pattern& pattern, const std::uint8_t* data,
                                       std::size_t size);

}  // namespace bytrove
