#include "scan/report_line.h"

#include <cstring>

namespace bytrove {

std::size_t format_report_line(char* out, std::uint64_t offset, std::string_view name) {
  char* p = out;
  std::memcpy(p, "offset 0x", 9);
  p += 9;

  // Hex: at least 8 upper-case digits.
  static constexpr char k_hex[] = "0123456789ABCDEF";
  int hex_digits = 8;
  while (hex_digits < 16 && (offset >> (4 * hex_digits)) != 0) ++hex_digits;
  for (int i = hex_digits - 1; i >= 0; --i) {
    *p++ = k_hex[(offset >> (4 * i)) & 0xF];
  }

  // Decimal label "(" + digits, right-aligned in 11 columns.
  char digits[20];
  int count = 0;
  std::uint64_t rest = offset;
  do {
    digits[count++] = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  for (int pad = 11 - (count + 1); pad > 0; --pad) *p++ = ' ';
  *p++ = '(';
  while (count > 0) *p++ = digits[--count];

  std::memcpy(p, ") in ", 5);
  p += 5;
  std::memcpy(p, name.data(), name.size());
  p += name.size();
  *p++ = '\n';
  return static_cast<std::size_t>(p - out);
}

}  // namespace bytrove
