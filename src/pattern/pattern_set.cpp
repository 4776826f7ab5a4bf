#include "pattern/pattern_set.h"

#include <algorithm>

namespace bytrove {
namespace {

bool is_blank(char ch) { return ch == ' ' || ch == '\t'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

bool is_name_char(char ch) {
  return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
         ch == '_' || ch == '.' || ch == '+' || ch == '-';
}

// One line of a set file, as the messages about it name and quote it ('\r' dropped).
struct set_line {
  std::string_view file_name;
  std::size_t number = 0;
  std::string_view text;
};

// A line cut at its first '=' and first '#' outside quotes (npos when absent; an '=' after
// the '#' belongs to the comment), and the opening quote of a string still open at its end.
struct line_parts {
  std::size_t equals = std::string_view::npos;
  std::size_t hash = std::string_view::npos;
  std::size_t open_quote = std::string_view::npos;
};

line_parts split_line(std::string_view line) {
  line_parts parts;
  char quote = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char ch = line[i];
    if (quote != 0) {
      if (ch == quote) quote = 0;
    } else if (ch == '"' || ch == '\'') {
      quote = ch;
      parts.open_quote = i;
    } else if (ch == '=' && parts.equals == std::string_view::npos) {
      parts.equals = i;
    } else if (ch == '#') {
      parts.hash = i;
      break;
    }
  }
  if (quote == 0) parts.open_quote = std::string_view::npos;
  return parts;
}

// The line as the message quotes it: bytes that would upset a terminal as \xNN.
std::string quoted(std::string_view line) {
  static constexpr char k_hex[] = "0123456789ABCDEF";
  std::string text;
  for (const char c : line) {
    const auto b = static_cast<unsigned char>(c);
    if ((b < 0x20 && c != '\t') || b == 0x7F) {
      text += "\\x";
      text += k_hex[b >> 4];
      text += k_hex[b & 15];
    } else {
      text += c;
    }
  }
  return text;
}

// "<file>:<line>:<column>: <reason>: <the line>\n"; the column counts bytes from 1.
status line_error(int code, const set_line& at, std::size_t column_index, const char* reason) {
  return status::error(code, std::string(at.file_name) + ":" + std::to_string(at.number) + ":" +
                                 std::to_string(column_index + 1) + ": " + reason + ": " +
                                 quoted(at.text) + "\n");
}

// The pattern's name, or an error pointing at the first byte that cannot be in one.
status parse_name(const set_line& at, std::string_view line, std::size_t equals,
                  std::string& name) {
  std::size_t first = 0;
  while (first < equals && is_blank(line[first])) ++first;
  std::size_t last = equals;
  while (last > first && is_blank(line[last - 1])) --last;
  for (std::size_t i = first; i < last; ++i) {
    if (!is_name_char(line[i])) {
      return line_error(k_exit_bad_hex, at, i, "invalid pattern name");
    }
  }
  if (first == last) return line_error(k_exit_bad_hex, at, equals, "missing pattern name");
  name = std::string(line.substr(first, last - first));
  return {};
}

// A brace member; errors point at the column in the line.
status parse_extended_member(const set_line& at, std::string_view body,
                             const pattern_syntax& syntax, std::string name, pattern_set& out) {
  auto parsed = std::make_shared<extended_pattern>();
  const auto column = static_cast<std::size_t>(body.data() - at.text.data());
  pattern_error error;
  const status s = parse_extended_pattern(body, syntax, column, *parsed, &error);
  if (!s.ok()) return line_error(s.exit_code(), at, error.offset, error.reason);
  out.add(std::move(name), std::move(parsed));
  return {};
}

// Adds the member on one line, if the line holds one.
status parse_line(const set_line& at, const pattern_syntax& syntax, pattern_set& out) {
  const std::string_view line = at.text;
  const std::size_t nul = line.find('\0');
  if (nul != std::string_view::npos) {
    return line_error(k_exit_bad_hex, at, nul, "NUL byte (write it as hex 00)");
  }
  const line_parts parts = split_line(line);
  if (parts.open_quote != std::string_view::npos) {
    return line_error(k_exit_bad_hex, at, parts.open_quote, "unclosed quote");
  }
  std::string_view body = line.substr(0, parts.hash);
  if (trim(body).empty()) return {};
  std::string name = std::to_string(at.number);
  if (parts.equals != std::string_view::npos) {
    status named = parse_name(at, line, parts.equals, name);
    if (!named.ok()) return named;
    body.remove_prefix(parts.equals + 1);
  }
  body = trim(body);
  if (body.empty()) return line_error(k_exit_bad_hex, at, parts.equals + 1, "empty pattern");
  if (is_extended_pattern(body))
    return parse_extended_member(at, body, syntax, std::move(name), out);
  compiled_pattern pattern;
  pattern_error error;
  const status parsed = parse_pattern(body, syntax, pattern, &error);
  if (pattern.truncated) {
    out.warnings += std::string(at.file_name) + ":" + std::to_string(at.number) +
                    ": Pattern has more than 256 positions; only the first 256 are searched.\n";
  }
  if (!parsed.ok()) {
    const auto column = static_cast<std::size_t>(body.data() - line.data()) + error.offset;
    return line_error(parsed.exit_code(), at, column, error.reason);
  }
  out.add(std::move(name), pattern);
  return {};
}

}  // namespace

status parse_pattern_set(std::string_view text, std::string_view file_name,
                         const pattern_syntax& syntax, pattern_set& out) {
  out = pattern_set{};
  // An editor's byte order mark is no pattern: only UTF-8's is skipped, since the strings
  // of a set are bytes and any other encoding would change them.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  set_line at{file_name, 0, {}};
  while (!text.empty()) {
    ++at.number;
    const std::size_t newline = text.find('\n');
    at.text = text.substr(0, newline);
    if (!at.text.empty() && at.text.back() == '\r') at.text.remove_suffix(1);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    status parsed = parse_line(at, syntax, out);
    if (!parsed.ok()) return parsed;
  }
  if (out.members.empty()) {
    return status::error(k_exit_usage, std::string(file_name) + ": the pattern set is empty.\n");
  }
  return {};
}

}  // namespace bytrove
