#include "report/count_writer.h"

#include "report/result_format.h"

namespace bytrove {
namespace {

void append_count_line(std::string& text, const result_options& options, std::string_view name,
                       const std::string& json_path, const std::string* pattern,
                       std::uint64_t count) {
  if (options.json) {
    text += "{\"type\":\"count\"," + json_path;
    if (pattern != nullptr) {
      text += ",\"pattern\":";
      append_json_string(text, *pattern);
    }
    text += ",\"count\":";
    append_decimal(text, count);
    text += "}\n";
  } else {
    text.append(name);
    text += options.null_names ? '\0' : ':';
    if (pattern != nullptr) text += *pattern + ':';
    append_decimal(text, count);
    text += '\n';
  }
}

}  // namespace

std::string count_lines(const result_options& options, const pattern_names& patterns,
                        std::string_view name, std::uint64_t total, member_counts& per_member,
                        std::string_view json_name) {
  std::string text;
  const std::string json_path = !options.json       ? std::string()
                                : json_name.empty() ? json_path_member(name)
                                                    : std::string(json_name);
  if (patterns.names.empty()) {
    append_count_line(text, options, name, json_path, nullptr, total);
  } else if (options.include_zero) {
    for (std::uint32_t m = 0; m < patterns.names.size(); ++m) {
      append_count_line(text, options, name, json_path, &patterns.names[m], per_member.of(m));
    }
  } else {
    per_member.each([&](std::uint32_t m, std::uint64_t n) {
      append_count_line(text, options, name, json_path, &patterns.names[m], n);
    });
  }
  return text;
}

}  // namespace bytrove
