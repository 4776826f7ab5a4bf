#include "walk/name_match.h"

namespace bytrove {

bool name_matches(std::string_view pattern, std::string_view name) {
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t star = std::string_view::npos;  // position of the latest "*" in pattern
  std::size_t resume = 0;                     // where in name that star's run ends for now
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      // Let the latest star swallow one more character and try again after it.
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

bool has_wildcards(std::string_view text) {
  return text.find_first_of("*?") != std::string_view::npos;
}

}  // namespace bytrove
