#pragma once

// The brace form of a pattern: `{ 4D 5A [0-256] 'PE' 00 00 }`. Owns the parsed representation
// (a tree of byte classes, jumps and alternatives) and its parser; knows nothing of searching.
//
// Inside the braces, separated by blanks where needed:
//   XX  one byte           ??  any byte           4? ?A  a nibble, the other one any
//   ~XX ~4?  any byte but  ( A | B )  alternatives, nestable, of any lengths (no jumps inside)
//   [n] [n-m] [n-] [-]  a jump of n to m bytes of anything (not first or last)
//   'text' "text"  the bytes of the text: letters folded by ignore-case, widened by utf16.
// Limits, checked by the parser: the longest expansion spans at most k_max_extended_span
// bytes (an open jump takes what the others leave of it), alternatives nest at most
// k_max_extended_depth deep, and the pattern holds at most k_max_extended_items items.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "pattern/compiled_pattern.h"

namespace bytrove {

inline constexpr std::uint32_t k_max_extended_span = 65536;
inline constexpr int k_max_extended_depth = 16;
inline constexpr std::size_t k_max_extended_items = 65536;

// The set of byte values one position accepts.
struct byte_class {
  std::array<std::uint64_t, 4> bits{};
  bool has(unsigned b) const { return ((bits[b >> 6] >> (b & 63)) & 1) != 0; }
  void add(unsigned b) { bits[b >> 6] |= std::uint64_t{1} << (b & 63); }
  int count() const;
  bool operator==(const byte_class&) const = default;
};

struct extended_item {
  enum class kind : std::uint8_t { bytes, jump, choice };
  kind type = kind::bytes;
  std::uint32_t min = 1;  // the fewest and most bytes the item takes
  std::uint32_t max = 1;
  byte_class accepts;                                // bytes: one position
  std::vector<std::vector<extended_item>> branches;  // choice: each a sequence
};

struct extended_pattern {
  std::string text;  // as written, for the echo
  std::vector<extended_item> items;
  std::uint32_t min_length = 0;  // shortest expansion
  std::uint32_t max_length = 0;  // longest expansion: the span an occurrence may cover
};

// True when the text's first non-blank character is '{': it is then parsed by
// parse_extended_pattern, never by parse_pattern.
bool is_extended_pattern(std::string_view text);

// Parses a brace pattern. Fails with exit code 2 and "Pattern is not valid at column C: WHY.\n",
// C counted from 1 at text[0] plus `column_base`; `error`, when given, gets C - 1 and WHY.
status parse_extended_pattern(std::string_view text, const pattern_syntax& syntax,
                              std::size_t column_base, extended_pattern& out,
                              pattern_error* error = nullptr);

// Whether some expansion consists of bytes that may all be 00 (so holes may hold one).
bool extended_matches_in_zeros(const extended_pattern& pattern);

// The pattern as a plain one when it is one in disguise (single bytes, `??` and folded letters
// only, no trailing wildcard, at most 256 positions); false otherwise.
bool extended_as_plain(const extended_pattern& pattern, compiled_pattern& out);

}  // namespace bytrove

namespace bytrove {

// Where a search for an extended pattern looks first: a plain pattern (concrete bytes, with
// wildcards for the positions between them that are not one byte or one folded letter) that
// every occurrence holds, starting min_offset to max_offset bytes after the occurrence's start.
// Chosen among the runs of fixed-length items between jumps and alternatives of varying length
// as the rarest by the byte frequency table, less the spread of its offsets.
struct extended_anchor {
  bool found = false;  // false: no position is one byte (all nibbles, negations, alternatives)
  compiled_pattern pattern;
  std::uint32_t min_offset = 0;
  std::uint32_t max_offset = 0;
};

extended_anchor choose_extended_anchor(const extended_pattern& pattern);

}  // namespace bytrove
