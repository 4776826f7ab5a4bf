#include "base/utf8.h"
#include "pattern/compiled_pattern.h"

namespace bytrove {
namespace {

constexpr const char* k_bad_hex_message = "Hexadecimal pattern is not valid.\n";
constexpr const char* k_trailing_wildcard_message = "Trailing wildcard is not allowed.\n";

// 0..15 for a hex digit of either case, -1 for anything else (ASCII rules only).
int hex_digit_value(unsigned char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  const unsigned char lower = (ch >= 'A' && ch <= 'Z') ? static_cast<unsigned char>(ch | 0x20) : ch;
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

void append_concrete(compiled_pattern& out, int value, bool folded) {
  const auto position = out.length;
  out.value[position] = static_cast<std::int16_t>(value);
  out.fold[position] = folded ? 1 : 0;
  out.concrete[out.concrete_count] = position;
  ++out.concrete_count;
  ++out.length;
}

// Appends one UTF-16LE code unit, as far as the 256 positions reach.
void append_code_unit(compiled_pattern& out, std::uint32_t unit) {
  for (const std::uint32_t byte : {unit & 0xFF, unit >> 8}) {
    if (out.length >= k_max_positions) {
      out.truncated = true;
      return;
    }
    append_concrete(out, static_cast<int>(byte), false);
  }
}

// A character of a string as UTF-16LE: a UTF-8 sequence becomes its code point's code units
// (a surrogate pair past U+FFFF); a byte that is not UTF-8 stands for itself (Latin-1).
// Returns how many bytes of the text it took.
std::size_t append_utf16(compiled_pattern& out, std::string_view text, std::size_t i) {
  std::uint32_t cp = static_cast<unsigned char>(text[i]);
  std::size_t n = utf8_sequence(text, i, cp);
  if (n == 0) {
    cp = static_cast<unsigned char>(text[i]);
    n = 1;
  }
  if (cp < 0x10000) {
    append_code_unit(out, cp);
  } else {
    append_code_unit(out, 0xD800 + ((cp - 0x10000) >> 10));
    append_code_unit(out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
  }
  return n;
}

// True when the text left after the 256th position would have added one: anything but blanks,
// the closing quote of the string the limit fell in, and empty strings ('' or "").
bool adds_positions(std::string_view rest, bool in_string, char quote) {
  const auto at_end = [&](std::size_t i) { return i >= rest.size() || rest[i] == '\0'; };
  std::size_t i = 0;
  if (in_string) {
    if (at_end(i)) return false;
    if (rest[i] != quote) return true;
    ++i;
  }
  for (;;) {
    while (!at_end(i) && rest[i] == ' ') ++i;
    if (at_end(i)) return false;
    const char ch = rest[i];
    if (ch != '"' && ch != '\'') return true;
    // A string that closes at once (or never opens anything) adds nothing.
    if (!at_end(i + 1) && rest[i + 1] != ch) return true;
    i += 2;
  }
}

}  // namespace

status parse_pattern(std::string_view text, const pattern_syntax& syntax, compiled_pattern& out) {
  const bool ignore_case = syntax.ignore_case;
  out = compiled_pattern{};
  enum class state { between, after_hex, in_string };
  state st = state::between;
  int pending_high = 0;
  char quote = 0;

  // The argument arrives NUL-terminated; the terminator is examined when the text is empty,
  // which is how an empty argument becomes a hex error.
  std::size_t i = 0;
  for (;;) {
    const auto ch = static_cast<unsigned char>(i < text.size() ? text[i] : '\0');
    switch (st) {
      case state::between:
        if (ch == ' ') break;  // a tab is not a separator
        if (ch == '"' || ch == '\'') {
          quote = static_cast<char>(ch);
          st = state::in_string;
        } else if (ch == '?') {
          out.value[out.length] = k_wildcard;
          out.fold[out.length] = 0;
          ++out.length;
          out.wild_end = out.length;
        } else {
          const int digit = hex_digit_value(ch);
          if (digit < 0) return status::error(k_exit_bad_hex, k_bad_hex_message);
          pending_high = digit * 16;
          st = state::after_hex;
        }
        break;
      case state::after_hex: {
        const int digit = hex_digit_value(ch);
        if (digit < 0) return status::error(k_exit_bad_hex, k_bad_hex_message);
        append_concrete(out, pending_high + digit, false);  // hex bytes are never folded
        st = state::between;
        break;
      }
      case state::in_string:
        if (static_cast<char>(ch) == quote) {
          st = state::between;
          break;
        }
        if (syntax.utf16 && ch >= 0x80) {
          i += append_utf16(out, text, i) - 1;
          break;
        }
        if (ignore_case && ch >= 'A' && ch <= 'Z') {
          append_concrete(out, ch | 0x20, true);
        } else if (ignore_case && ch >= 'a' && ch <= 'z') {
          append_concrete(out, ch, true);
        } else {
          append_concrete(out, ch, false);
        }
        if (syntax.utf16) {
          if (out.length >= k_max_positions) {
            out.truncated = true;  // the character's second byte did not fit
          } else {
            append_concrete(out, 0, false);
          }
        }
        break;
    }
    ++i;
    if (i >= text.size() || text[i] == '\0') break;
    // Text past the 256th position is ignored; the caller warns when it held positions.
    if (out.length >= k_max_positions) {
      out.truncated =
          out.truncated || adds_positions(text.substr(i), st == state::in_string, quote);
      break;
    }
  }

  if (st == state::after_hex) return status::error(k_exit_bad_hex, k_bad_hex_message);
  if (out.length == out.wild_end) {
    return status::error(k_exit_trailing_wildcard, k_trailing_wildcard_message);
  }
  return {};
}

std::string pattern_echo(const compiled_pattern& pattern) {
  std::string echo = "Searching for HEX pattern ";
  for (int i = 0; i < pattern.length; ++i) {
    if (pattern.value[i] == k_wildcard) {
      echo += "?? ";
    } else {
      static constexpr char k_hex[] = "0123456789ABCDEF";
      const auto byte = static_cast<unsigned>(pattern.value[i]) & 0xFFu;
      echo += k_hex[byte >> 4];
      echo += k_hex[byte & 0xF];
      echo += ' ';
    }
  }
  echo += "...\n";
  return echo;
}

}  // namespace bytrove
