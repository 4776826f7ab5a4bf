#include "cli/loaded_patterns.h"

#include "base/output.h"
#include "cli/set_file.h"

namespace bytrove {
namespace {

constexpr const char* k_truncated_message =
    "Pattern has more than 256 positions; only the first 256 are searched.\n";

std::string brace_echo(const extended_pattern& pattern) {
  return "Searching for HEX pattern " + pattern.text + " ...\n";
}

}  // namespace

status loaded_patterns::load_pattern(const std::string& text, const pattern_syntax& syntax,
                                     io_context& io) {
  if (is_extended_pattern(text)) {
    status parsed = parse_extended_pattern(text, syntax, 0, brace_);
    if (!parsed.ok()) return parsed;
    names_ = {};
    if (extended_as_plain(brace_, pattern_)) {
      plan_ = build_search_plan(pattern_, syntax.ignore_case);
      names_.lengths.push_back(static_cast<std::uint32_t>(pattern_.length));
    } else {
      extended_ = std::make_unique<extended_matcher>(brace_, syntax.ignore_case);
      names_.lengths.push_back(brace_.max_length);
    }
    return {};
  }
  status parsed = parse_pattern(text, syntax, pattern_);
  // Said before any pattern error: it may be what explains it.
  if (pattern_.truncated) write_error(io.out, io.err, k_truncated_message);
  if (!parsed.ok()) return parsed;
  plan_ = build_search_plan(pattern_, syntax.ignore_case);
  names_ = {};
  names_.lengths.push_back(static_cast<std::uint32_t>(pattern_.length));
  return {};
}

status loaded_patterns::load_set(const std::string& path, const pattern_syntax& syntax,
                                 io_context& io) {
  std::string text;
  const std::string found = find_set_file(path);
  status read = read_set_file(found, text);
  if (!read.ok()) return read;
  status parsed = parse_pattern_set(text, found, syntax, set_);
  if (!set_.warnings.empty()) write_error(io.out, io.err, set_.warnings);
  if (!parsed.ok()) return parsed;
  if (set_.any_extended) {
    extended_ = std::make_unique<extended_matcher>(set_, syntax.ignore_case);
  } else {
    matcher_ = std::make_unique<set_matcher>(set_);
  }
  names_ = {};
  names_.names.reserve(set_.members.size());
  names_.lengths.reserve(set_.members.size());
  for (const set_member& member : set_.members) {
    names_.names.push_back(member.name);
    names_.lengths.push_back(member.extended ? member.extended->max_length
                                             : static_cast<std::uint32_t>(member.length));
  }
  return {};
}

std::string loaded_patterns::echo() const {
  if (extended_ != nullptr && !extended_->is_set()) return brace_echo(brace_);
  if (!is_set()) return pattern_echo(pattern_);
  std::string lines;
  for (std::size_t i = 0; i < set_.members.size(); ++i) {
    const set_member& member = set_.members[i];
    lines += member.extended ? brace_echo(*member.extended) : pattern_echo(set_.pattern(i));
    lines.pop_back();
    lines += " [" + set_.members[i].name + "]\n";
  }
  return lines;
}

search_target loaded_patterns::target() const {
  if (extended_ != nullptr) {
    return extended_->is_set() ? search_target::of_extended_set(set_, *extended_)
                               : search_target::of_extended(brace_, *extended_);
  }
  if (matcher_ != nullptr) return search_target::of_set(set_, *matcher_);
  return search_target::single(pattern_, plan_);
}

}  // namespace bytrove
