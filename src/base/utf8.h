#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace bytrove {

// The length of the well-formed UTF-8 sequence at text[i] (1 to 4), its code point in
// `code_point`; 0 when the bytes there are not one (an overlong form, a surrogate, a value past
// U+10FFFF, a stray or cut-off byte).
inline std::size_t utf8_sequence(std::string_view text, std::size_t i, std::uint32_t& code_point) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  if (b0 < 0x80) {
    code_point = b0;
    return 1;
  }
  std::size_t n = 0;
  unsigned lo = 0x80;
  unsigned hi = 0xBF;  // the range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (i + n > text.size()) return 0;
  std::uint32_t cp = b0 & (0x7Fu >> n);
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if (b < (k == 1 ? lo : 0x80u) || b > (k == 1 ? hi : 0xBFu)) return 0;
    cp = cp << 6 | (b & 0x3Fu);
  }
  code_point = cp;
  return n;
}

}  // namespace bytrove
