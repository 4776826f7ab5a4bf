// File-name wildcards, checked by hand on the rules and against a plain recursive matcher.

#include "walk/name_match.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <string_view>

namespace bytrove {
namespace {

// Obviously right and exponential in the worst case: fine for short strings only.
bool reference_match(std::string_view pattern, std::string_view name) {
  if (pattern.empty()) return name.empty();
  if (pattern[0] == '*') {
    return reference_match(pattern.substr(1), name) ||
           (!name.empty() && reference_match(pattern, name.substr(1)));
  }
  if (name.empty()) return false;
  if (pattern[0] != '?' && pattern[0] != name[0]) return false;
  return reference_match(pattern.substr(1), name.substr(1));
}

TEST(name_match, wildcard_rules) {
  struct match_case {
    std::string_view pattern;
    std::string_view name;
    bool matches;
  };
  const match_case cases[] = {
      {"", "", true},
      {"", "a", false},
      {"*", "", true},
      {"**", "", true},
      {"?", "", false},
      {"*?", "", false},
      {"*", "anything.bin", true},
      {"*", ".hidden", true},  // a leading dot is an ordinary character
      {"*.bin", ".x.bin", true},
      {".*", ".profile", true},
      {".*", "profile", false},
      {"?profile", ".profile", true},
      {"*.bin", "a.bin", true},
      {"*.bin", "a.bin.bak", false},
      {"*.bin", "bin", false},
      {"*.bin", ".bin", true},
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"a?c", "abbc", false},
      {"a*b*c", "abc", true},
      {"a*b*c", "axxbyyc", true},
      {"a*b*c", "acb", false},
      {"*a", "ba", true},
      {"*a", "ab", false},
      {"a*", "a", true},
      {"a*a", "a", false},
      {"*ab*ab*", "xabyab", true},
      {"*ab*ab*", "xaby", false},
      {"*.BIN", "x.bin", false},  // case-sensitive
      {"A.bin", "a.bin", false},
      {"a.bin", "a.bin", true},
      {"a.bi", "a.bin", false},  // the whole name, not a prefix
      {"a.bin", "a.bi", false},
      {"[ab]", "a", false},  // brackets are ordinary characters
      {"[ab]", "[ab]", true},
      {"a\\*", "a\\xyz", true},  // so is a backslash
      {"a\\*", "a*", false},
      {"\xC3\xA9*", "\xC3\xA9t\xC3\xA9", true},
  };
  for (const match_case& c : cases) {
    EXPECT_EQ(name_matches(c.pattern, c.name), c.matches)
        << "pattern \"" << c.pattern << "\" name \"" << c.name << "\"";
  }
}

TEST(name_match, has_wildcards) {
  EXPECT_FALSE(has_wildcards(""));
  EXPECT_FALSE(has_wildcards("plain.bin"));
  EXPECT_FALSE(has_wildcards(".hidden[1]"));
  EXPECT_TRUE(has_wildcards("*"));
  EXPECT_TRUE(has_wildcards("?"));
  EXPECT_TRUE(has_wildcards("a.bi?"));
  EXPECT_TRUE(has_wildcards("*.bin"));
}

// Every string over `alphabet` up to `max_length`, in length order.
std::vector<std::string> all_strings(std::string_view alphabet, std::size_t max_length) {
  std::vector<std::string> out{""};
  for (std::size_t begin = 0; begin < out.size(); ++begin) {
    if (out[begin].size() == max_length) continue;
    for (const char c : alphabet) out.push_back(out[begin] + c);
  }
  return out;
}

TEST(name_match, agrees_with_reference_on_all_short_strings) {
  const std::vector<std::string> patterns = all_strings("a.*?", 5);
  const std::vector<std::string> names = all_strings("ab.", 5);
  for (const std::string& pattern : patterns) {
    for (const std::string& name : names) {
      ASSERT_EQ(name_matches(pattern, name), reference_match(pattern, name))
          << "pattern \"" << pattern << "\" name \"" << name << "\"";
    }
  }
}

TEST(name_match, agrees_with_reference_on_random_strings) {
  std::mt19937_64 rng(0x6e616d65);
  auto random_string = [&](std::string_view alphabet, std::size_t max_length) {
    std::string s(std::uniform_int_distribution<std::size_t>(0, max_length)(rng), ' ');
    for (char& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  for (int i = 0; i < 100000; ++i) {
    const std::string pattern = random_string("ab.*?*", 10);
    const std::string name = random_string("aab.", 14);
    ASSERT_EQ(name_matches(pattern, name), reference_match(pattern, name))
        << "pattern \"" << pattern << "\" name \"" << name << "\"";
  }
}

TEST(name_match, many_stars_on_a_long_name_stay_fast) {
  // Backtracking into every earlier star would take astronomically long here.
  const std::string no_b(100000, 'a');
  const std::string ends_in_b = no_b + "b";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(name_matches("*a*a*a*a*b", no_b));
  EXPECT_TRUE(name_matches("*a*a*a*a*b", ends_in_b));
  EXPECT_FALSE(name_matches("*a*a*a*a*a*a*a*a*a*a*b", no_b));
  EXPECT_FALSE(name_matches("*?*?*?*?*?*?*b", no_b));
  EXPECT_TRUE(name_matches("*?*?*?*?*?*?*b", ends_in_b));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

}  // namespace
}  // namespace bytrove
