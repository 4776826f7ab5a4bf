#include "report/report_line.h"

#include <cstring>

namespace bytrove {
namespace {

constexpr char k_hex_digits[] = "0123456789ABCDEF";

struct digit_pairs {
  char text[200];
  constexpr digit_pairs() : text() {
    for (int i = 0; i < 100; ++i) {
      text[2 * i] = static_cast<char>('0' + i / 10);
      text[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
};
constexpr digit_pairs k_pairs;

struct hex_pairs {
  char text[512];
  constexpr hex_pairs() : text() {
    for (int i = 0; i < 256; ++i) {
      text[2 * i] = k_hex_digits[i >> 4];
      text[2 * i + 1] = k_hex_digits[i & 0xF];
    }
  }
};
constexpr hex_pairs k_hex_pairs;

// Writes the decimal digits of `value` so that they end just before `last`; returns where they
// start. 32-bit values take the cheaper division.
template <class unsigned_type>
char* write_decimal_ending_at(char* last, unsigned_type value) {
  char* q = last;
  while (value >= 100) {
    q -= 2;
    std::memcpy(q, k_pairs.text + 2 * (value % 100), 2);
    value /= 100;
  }
  if (value >= 10) {
    q -= 2;
    std::memcpy(q, k_pairs.text + 2 * value, 2);
  } else {
    *--q = static_cast<char>('0' + value);
  }
  return q;
}

// Offsets below 4 GiB, by far the common case: 8 hex digits and at most 10 decimal ones, so the
// label always fills the 11 columns exactly and every length is fixed. Dense results print
// hundreds of millions of these lines.
char* write_numbers_32(char* p, std::uint32_t offset) {
  std::memcpy(p, "offset 0x", 9);
  for (int byte = 0; byte < 4; ++byte) {
    const unsigned value = (offset >> (24 - 8 * byte)) & 0xFFu;
    std::memcpy(p + 9 + 2 * byte, k_hex_pairs.text + 2 * value, 2);
  }
  p += 17;
  std::memcpy(p, "           ", 11);
  char* const last = p + 11;
  write_decimal_ending_at(last, offset)[-1] = '(';
  return last;
}

int decimal_digits(std::uint64_t value) {
  int count = 1;
  while (value >= 10000) {
    value /= 10000;
    count += 4;
  }
  if (value >= 1000) return count + 3;
  if (value >= 100) return count + 2;
  if (value >= 10) return count + 1;
  return count;
}

// Writes "offset 0x<hex>" then "(<decimal>" right-aligned in 11 columns; returns the end.
char* write_numbers(char* p, std::uint64_t offset) {
  if (offset <= 0xFFFFFFFFu) return write_numbers_32(p, static_cast<std::uint32_t>(offset));
  std::memcpy(p, "offset 0x", 9);
  p += 9;
  int hex_digits = 8;
  if (offset >> 32 != 0) {
    while (hex_digits < 16 && (offset >> (4 * hex_digits)) != 0) ++hex_digits;
  }
  for (int i = hex_digits - 1; i >= 0; --i) {
    *p = k_hex_digits[(offset >> (4 * i)) & 0xF];
    ++p;
  }

  // Past 4 GiB the decimal has 10 or more digits and fills the 11 columns itself; one blank
  // then keeps the two numbers apart, so the line still splits into fields on blanks.
  const int digits = decimal_digits(offset);
  *p++ = ' ';
  *p++ = '(';
  char* const last = p + digits;
  write_decimal_ending_at(last, offset);
  return last;
}

}  // namespace

std::size_t format_report_line(char* out, std::uint64_t offset, std::string_view name) {
  char* p = write_numbers(out, offset);
  std::memcpy(p, ") in ", 5);
  p += 5;
  std::memcpy(p, name.data(), name.size());
  p += name.size();
  *p++ = '\n';
  return static_cast<std::size_t>(p - out);
}

void report_line_format::set_name(std::string_view name) {
  suffix_ = ") in ";
  suffix_.append(name);
  suffix_ += '\n';
}

std::size_t report_line_format::write(char* out, std::uint64_t offset) const {
  char* p = write_numbers(out, offset);
  std::memcpy(p, suffix_.data(), suffix_.size());
  return static_cast<std::size_t>(p + suffix_.size() - out);
}

}  // namespace bytrove
