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

bool is_valid_name(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), is_name_char);
}

// A line cut at its first '=' and first '#' outside quotes (npos when absent; an '=' after
// the '#' belongs to the comment).
struct line_parts {
  std::size_t equals = std::string_view::npos;
  std::size_t hash = std::string_view::npos;
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
    } else if (ch == '=' && parts.equals == std::string_view::npos) {
      parts.equals = i;
    } else if (ch == '#') {
      parts.hash = i;
      break;
    }
  }
  return parts;
}

std::string location(std::string_view file_name, std::size_t line_number) {
  return std::string(file_name) + ":" + std::to_string(line_number) + ": ";
}

// A brace member; errors point at the column in the line.
status parse_extended_member(std::string_view line, std::string_view body,
                             const pattern_syntax& syntax, std::string name, pattern_set& out) {
  auto parsed = std::make_shared<extended_pattern>();
  const auto column = static_cast<std::size_t>(body.data() - line.data());
  status s = parse_extended_pattern(body, syntax, column, *parsed);
  if (!s.ok()) return s;
  out.add(std::move(name), std::move(parsed));
  return {};
}

// Adds the member on one line, if the line holds one.
status parse_line(std::string_view line, std::size_t line_number, std::string_view file_name,
                  const pattern_syntax& syntax, pattern_set& out) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  const line_parts parts = split_line(line);
  std::string_view body = line.substr(0, parts.hash);
  if (trim(body).empty()) return {};
  std::string name = std::to_string(line_number);
  if (parts.equals != std::string_view::npos) {
    const std::string_view written = trim(body.substr(0, parts.equals));
    if (!is_valid_name(written)) {
      return status::error(k_exit_bad_hex,
                           location(file_name, line_number) + "Pattern name is not valid.\n");
    }
    name = std::string(written);
    body.remove_prefix(parts.equals + 1);
  }
  if (is_extended_pattern(body)) {
    const status parsed = parse_extended_member(line, trim(body), syntax, std::move(name), out);
    if (parsed.ok()) return {};
    return status::error(parsed.exit_code(), location(file_name, line_number) + parsed.message());
  }
  compiled_pattern pattern;
  const status parsed = parse_pattern(trim(body), syntax, pattern);
  if (pattern.truncated) {
    out.warnings += location(file_name, line_number) +
                    "Pattern has more than 256 positions; only the first 256 are searched.\n";
  }
  if (!parsed.ok()) {
    return status::error(parsed.exit_code(), location(file_name, line_number) + parsed.message());
  }
  out.add(std::move(name), pattern);
  return {};
}

}  // namespace

status parse_pattern_set(std::string_view text, std::string_view file_name,
                         const pattern_syntax& syntax, pattern_set& out) {
  out = pattern_set{};
  std::size_t line_number = 0;
  while (!text.empty()) {
    ++line_number;
    const std::size_t newline = text.find('\n');
    const std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    status parsed = parse_line(line, line_number, file_name, syntax, out);
    if (!parsed.ok()) return parsed;
  }
  if (out.members.empty()) {
    return status::error(k_exit_usage, std::string(file_name) + ": the pattern set is empty.\n");
  }
  return {};
}

}  // namespace bytrove
