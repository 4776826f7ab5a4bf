#include "cli/long_options.h"

#include <limits>
#include <optional>

namespace bytrove {
namespace {

constexpr unsigned k_max_threads = 1024;
constexpr std::size_t k_max_context = std::size_t{1} << 20;
constexpr unsigned k_max_depth = 16;
constexpr const char* k_range_form =
    "START:END, each a decimal or 0x hex offset with an optional K, M, G or T suffix, either "
    "one left out for the start or the end of the input";

status bad_value(std::string_view name, const std::string& text, const std::string& expected) {
  if (text.empty()) {
    return status::error(k_exit_usage, std::string(name) + " needs a value: " + expected + ".\n");
  }
  return status::error(k_exit_usage, "Invalid value \"" + text + "\" for " + std::string(name) +
                                         ": expected " + expected + ".\n");
}

// A whole decimal number in [low, high]; leading zeros are fine.
status parse_whole(std::string_view name, const std::string& text, std::uint64_t low,
                   std::uint64_t high, const std::string& expected, std::uint64_t& value) {
  std::uint64_t v = 0;
  bool valid = !text.empty();
  for (const char c : text) {
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (c < '0' || c > '9' || v > (high - digit) / 10) {
      valid = false;
      break;
    }
    v = v * 10 + digit;
  }
  if (!valid || v < low) return bad_value(name, text, expected);
  value = v;
  return {};
}

// One offset of a range; false when it is not one or does not fit in 64 bits.
bool parse_offset(std::string_view text, std::uint64_t& value) {
  int shift = 0;
  if (!text.empty()) {
    switch (text.back()) {
      case 'K':
      case 'k':
        shift = 10;
        break;
      case 'M':
      case 'm':
        shift = 20;
        break;
      case 'G':
      case 'g':
        shift = 30;
        break;
      case 'T':
      case 't':
        shift = 40;
        break;
      default:
        break;
    }
    if (shift != 0) text.remove_suffix(1);
  }
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  std::uint64_t v = 0;
  for (const char c : text) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')) {
      digit = static_cast<unsigned>((c | 0x20) - 'a' + 10);
    } else {
      return false;
    }
    if (v > (std::numeric_limits<std::uint64_t>::max() - digit) / base) return false;
    v = v * base + digit;
  }
  if (shift != 0 && v > (std::numeric_limits<std::uint64_t>::max() >> shift)) return false;
  value = v << shift;
  return true;
}

// The list a name filter option (`--include`, `--exclude`, `--exclude-dir`, with its value
// in this argument or the next) adds to; null for any other argument.
std::vector<std::string>* glob_list(std::string_view arg, walk_filters& filters) {
  const std::string_view name = arg.substr(0, arg.find('='));
  if (name == "--include") return &filters.include;
  if (name == "--exclude") return &filters.exclude;
  if (name == "--exclude-dir") return &filters.exclude_dir;
  return nullptr;
}

status parse_colour(const std::string& text, run_request& request) {
  using when = run_request::colour_when;
  if (text == "auto") {
    request.colour = when::automatic;
  } else if (text == "always") {
    request.colour = when::always;
  } else if (text == "never") {
    request.colour = when::never;
  } else {
    return bad_value("--color", text, "auto, always or never");
  }
  return {};
}

}  // namespace

std::optional<std::string> option_value(const std::vector<std::string>& args, std::size_t& index,
                                        std::string_view name) {
  const std::string_view arg = args[index];
  if (arg == name) {
    if (index + 1 >= args.size()) return std::string();
    return args[++index];
  }
  if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=') {
    return std::string(arg.substr(name.size() + 1));
  }
  return std::nullopt;
}

status parse_range(std::string_view text, std::uint64_t& start, std::uint64_t& end) {
  const std::size_t colon = text.find(':');
  const std::string shown(text);
  if (colon == std::string_view::npos) return bad_value("--range", shown, k_range_form);
  const std::string_view first = text.substr(0, colon);
  const std::string_view second = text.substr(colon + 1);
  std::uint64_t s = 0;
  std::uint64_t e = ~std::uint64_t{0};
  if ((!first.empty() && !parse_offset(first, s)) ||
      (!second.empty() && !parse_offset(second, e))) {
    return bad_value("--range", shown, k_range_form);
  }
  if (s > e) {
    return status::error(k_exit_usage, "Invalid value \"" + shown +
                                           "\" for --range: the start lies past the end.\n");
  }
  start = s;
  end = e;
  return {};
}

namespace {

// The options that take a number: --threads, --max-count, --context, --decompress[=N].
std::optional<status> apply_number_option(const std::vector<std::string>& args, std::size_t& index,
                                          run_request& request) {
  result_options& results = request.results;
  const std::string_view arg = args[index];
  std::uint64_t value = 0;
  if (const auto text = option_value(args, index, "--threads")) {
    const status s =
        parse_whole("--threads", *text, 1, k_max_threads,
                    "a whole number from 1 to " + std::to_string(k_max_threads), value);
    request.threads = static_cast<unsigned>(value);
    return s;
  }
  if (const auto text = option_value(args, index, "--max-count")) {
    const status s = parse_whole("--max-count", *text, 1, std::numeric_limits<std::uint64_t>::max(),
                                 "a whole number of at least 1", value);
    results.max_count = value;
    return s;
  }
  if (const auto text = option_value(args, index, "--context")) {
    const status s =
        parse_whole("--context", *text, 0, k_max_context,
                    "a whole number of bytes from 0 to " + std::to_string(k_max_context), value);
    results.context = static_cast<std::size_t>(value);
    return s;
  }
  // The depth is optional, so only "--decompress=N" carries one: a next argument is never taken.
  if (arg == "--decompress") {
    results.decompress = 1;
    return status{};
  }
  if (arg.starts_with("--decompress=")) {
    const std::string text(arg.substr(13));
    const status s = parse_whole("--decompress", text, 1, k_max_depth,
                                 "a nesting depth from 1 to " + std::to_string(k_max_depth), value);
    results.decompress = static_cast<unsigned>(value);
    return s;
  }
  return std::nullopt;
}

// The options that take text: --range, the name filters, --color.
std::optional<status> apply_text_option(const std::vector<std::string>& args, std::size_t& index,
                                        run_request& request) {
  result_options& results = request.results;
  const std::string_view arg = args[index];
  if (const auto text = option_value(args, index, "--range")) {
    return parse_range(*text, results.range_start, results.range_end);
  }
  if (auto* list = glob_list(arg, request.filters)) {
    const std::string_view name = arg.substr(0, arg.find('='));
    const auto text = option_value(args, index, name);
    if (text->empty()) return bad_value(name, *text, "a name pattern such as \"*.o\"");
    list->push_back(*text);
    return status{};
  }
  if (arg == "--color" || arg == "--colour") {
    request.colour = run_request::colour_when::automatic;
    return status{};
  }
  for (const std::string_view name : {"--color", "--colour"}) {
    if (const auto text = option_value(args, index, name)) return parse_colour(*text, request);
  }
  return std::nullopt;
}

// The options without a value.
std::optional<status> apply_flag_option(std::string_view arg, run_request& request,
                                        pattern_syntax& syntax) {
  result_options& results = request.results;
  if (arg == "--count" || arg == "--files-with-matches") {
    const result_mode mode = arg == "--count" ? result_mode::count : result_mode::files;
    if (results.mode != result_mode::lines && results.mode != mode) {
      return status::error(k_exit_usage,
                           "--count and --files-with-matches cannot be used together.\n");
    }
    results.mode = mode;
  } else if (arg == "--utf16") {
    syntax.utf16 = true;
  } else if (arg == "--json") {
    results.json = true;
  } else if (arg == "--null") {
    results.null_names = true;
  } else if (arg == "--include-zero") {
    results.include_zero = true;
  } else if (arg == "--status") {
    request.exit_status_says_found = true;
  } else if (arg == "--no-follow") {
    request.filters.skip_file_links = true;
  } else {
    return std::nullopt;
  }
  return status{};
}

}  // namespace

status apply_long_option(const std::vector<std::string>& args, std::size_t& index,
                         run_request& request, pattern_syntax& syntax, bool& known) {
  known = true;
  if (auto s = apply_number_option(args, index, request)) return *s;
  if (auto s = apply_text_option(args, index, request)) return *s;
  if (auto s = apply_flag_option(args[index], request, syntax)) return *s;
  known = false;
  return {};
}

}  // namespace bytrove
