#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "pattern/compiled_pattern.h"
#include "search/search_inputs.h"

namespace bytrove {

// Applies the long option at args[index] (`--name`, `--name=VALUE` or `--name VALUE`, the
// value argument then consumed) to the request or the pattern syntax. Sets `known` when it is
// one; a bad or missing value fails with exit code 1 and a message that says what is wrong.
// --help, --version and --progress are the caller's.
status apply_long_option(const std::vector<std::string>& args, std::size_t& index,
                         run_request& request, pattern_syntax& syntax, bool& known);

// The value of `--name=VALUE` or of `--name VALUE` (the next argument, consumed); nothing when
// args[index] is not that option. A missing value is an empty one.
std::optional<std::string> option_value(const std::vector<std::string>& args, std::size_t& index,
                                        std::string_view name);

// Parses "START:END" (either may be left out): decimal or 0x hex, with an optional K, M, G or
// T suffix for powers of 1024. Fails on anything else, an overflow, or a start past the end.
status parse_range(std::string_view text, std::uint64_t& start, std::uint64_t& end);

}  // namespace bytrove
