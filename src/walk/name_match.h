#pragma once

#include <string_view>

namespace bytrove {

// Whole-name wildcard match: "*" matches any run of characters (also none, also a leading
// "."), "?" exactly one character, everything else itself, case-sensitively. Linear in
// practice: a later "*" only ever retries from the latest star, never backtracks further.
bool name_matches(std::string_view pattern, std::string_view name);

// True when the text holds a "*" or "?".
bool has_wildcards(std::string_view text);

}  // namespace bytrove
