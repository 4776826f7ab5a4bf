#include "report/result_format.h"

#include <algorithm>

#include "base/utf8.h"

namespace bytrove {
namespace {

constexpr char k_upper_hex[] = "0123456789ABCDEF";
constexpr char k_lower_hex[] = "0123456789abcdef";

}  // namespace

void append_base64(std::string& out, std::string_view bytes) {
  static constexpr char k_digits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t v = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (std::size_t k = 0; k < 4; ++k) {
      out += k <= n ? k_digits[(v >> (18 - 6 * k)) & 63] : '=';
    }
  }
}

bool valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t code_point = 0;
    const std::size_t n = utf8_sequence(text, i, code_point);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (b < 0x20 || b == 0x7F) {
      out += "\\u00";
      out += k_lower_hex[b >> 4];
      out += k_lower_hex[b & 15];
    } else {
      out += c;
    }
  }
  out += '"';
}

std::string json_path_member(std::string_view name) {
  std::string member;
  if (valid_utf8(name)) {
    member = "\"path\":";
    append_json_string(member, name);
  } else {
    member = "\"path_base64\":\"";
    append_base64(member, name);
    member += '"';
  }
  return member;
}

void append_decimal(std::string& out, std::uint64_t value) {
  char digits[20];
  std::size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) out += digits[--n];
}

void append_hex_bytes(std::string& out, const std::uint8_t* bytes, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    out += k_lower_hex[bytes[i] >> 4];
    out += k_lower_hex[bytes[i] & 15];
  }
}

void colour_report_line(std::string& line) {
  // "offset 0x" is 9 bytes; the hex runs up to the first blank or "(", the decimal from just
  // after the "(" to the ")".
  const std::size_t hex_end = line.find_first_of(" (", 9);
  const std::size_t open = line.find('(', 9);
  const std::size_t close = line.find(')', open);
  if (hex_end == std::string::npos || open == std::string::npos || close == std::string::npos) {
    return;
  }
  std::string coloured;
  coloured.reserve(line.size() + 4 * k_colour_offset.size());
  coloured.append(line, 0, 7);
  coloured += k_colour_offset;
  coloured.append(line, 7, hex_end - 7);
  coloured += k_colour_end;
  coloured.append(line, hex_end, open + 1 - hex_end);
  coloured += k_colour_offset;
  coloured.append(line, open + 1, close - open - 1);
  coloured += k_colour_end;
  coloured.append(line, close);
  line.swap(coloured);
}

void append_hex_dump(std::string& out, const std::uint8_t* bytes, std::size_t size,
                     std::uint64_t offset, std::uint64_t mark_begin, std::uint64_t mark_end,
                     bool colour) {
  const std::uint64_t end = offset + size;
  const auto marked = [&](std::uint64_t at) { return at >= mark_begin && at < mark_end; };
  // Colour switches on at the first marked byte of a row and off after its last one; the
  // brackets stay plain so that the dump reads the same with colours stripped.
  const auto paint = [&](std::string& to, bool now, bool before, bool last) {
    if (!colour) return;
    if (now && !before) to += k_colour_match;
    if (now && last) to += k_colour_end;
  };
  for (std::uint64_t row = offset & ~std::uint64_t{15}; row < end; row += 16) {
    out += "  ";
    int digits = 8;
    while (digits < 16 && (row >> (4 * digits)) != 0) ++digits;
    for (int d = digits - 1; d >= 0; --d) out += k_upper_hex[(row >> (4 * d)) & 15];
    out += ':';
    std::string text;
    for (std::uint64_t at = row; at <= row + 16; ++at) {
      const bool in = at >= offset && at < end && at < row + 16;
      const bool now = in && marked(at);
      const bool before = at > row && at - 1 >= offset && at - 1 < end && marked(at - 1);
      out += now && !before ? '[' : before && !now ? ']' : ' ';
      if (at == row + 16) break;
      if (in) {
        const std::uint8_t b = bytes[at - offset];
        const bool last = !(at + 1 < row + 16 && at + 1 < end && marked(at + 1));
        paint(out, now, before, false);
        out += k_upper_hex[b >> 4];
        out += k_upper_hex[b & 15];
        paint(out, now, true, last);
        paint(text, now, before, false);
        text += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
        paint(text, now, true, last);
      } else {
        out += "  ";
        if (at < end) text += ' ';
      }
    }
    out += ' ';
    out += text;
    out += '\n';
  }
}

}  // namespace bytrove
