#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/status.h"

namespace bytrove {

inline constexpr int k_max_positions = 256;
inline constexpr std::int16_t k_wildcard = -1;

// A parsed pattern: up to 256 positions, each a byte value or a wildcard.
// After a successful compile: 1 <= length <= 256, wild_end < length (the last position is
// concrete), concrete_count >= 1 and concrete[concrete_count - 1] == length - 1. A folded
// letter is stored in lower case.
struct compiled_pattern {
  std::int16_t length = 0;                      // m
  std::int16_t value[k_max_positions] = {};     // 0..255, or k_wildcard
  std::int16_t fold[k_max_positions] = {};      // 1: letter compared regardless of case
  int wild_end = 0;                             // index just past the last wildcard; 0 if none
  std::int16_t concrete_count = 0;              // n
  std::int16_t concrete[k_max_positions] = {};  // non-wildcard positions, increasing
  // The text went on past the 256th position with more positions, which were ignored.
  bool truncated = false;
};

struct pattern_syntax {
  bool ignore_case = false;  // letters in strings match either case
  bool utf16 = false;        // each character of a string is followed by a 00 byte (UTF-16LE)
};

// Where a pattern error lies and what it is, for messages that point into a line (set files):
// `offset` is a byte offset into the text, `reason` a short lower-case phrase such as "odd
// number of hex digits". The command line keeps its fixed messages and ignores these.
struct pattern_error {
  std::size_t offset = 0;
  const char* reason = "";
};

// Parses one pattern argument. ignore_case decides the fold flags of string letters.
// Fails with exit code 2 ("Hexadecimal pattern is not valid.") or 4 ("Trailing wildcard is
// not allowed."); on failure `out` is unspecified and `error` (when given) says where and why.
// Sets `truncated` also when it fails.
status parse_pattern(std::string_view text, const pattern_syntax& syntax, compiled_pattern& out,
                     pattern_error* error = nullptr);
inline status parse_pattern(std::string_view text, bool ignore_case, compiled_pattern& out) {
  return parse_pattern(text, pattern_syntax{ignore_case, false}, out);
}

// The verbose echo: "Searching for HEX pattern 41 ?? 42 ...\n".
std::string pattern_echo(const compiled_pattern& pattern);

}  // namespace bytrove
