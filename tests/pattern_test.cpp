#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "pattern/compiled_pattern.h"

namespace bytrove {
namespace {

constexpr std::string_view k_bad_hex = "Hexadecimal pattern is not valid.\n";
constexpr std::string_view k_trailing = "Trailing wildcard is not allowed.\n";

// (value, fold) per position; value -1 is a wildcard.
using positions = std::vector<std::pair<int, int>>;
constexpr int k_wild = -1;

positions positions_of(const compiled_pattern& p) {
  positions result;
  for (int i = 0; i < p.length; ++i) result.emplace_back(p.value[i], p.fold[i]);
  return result;
}

// Checks every field that is derived from the positions, recomputed from scratch.
void expect_well_formed(const compiled_pattern& p) {
  ASSERT_GE(p.length, 1);
  ASSERT_LE(p.length, k_max_positions);
  int wild_end = 0;
  std::vector<int> concrete;
  for (int i = 0; i < p.length; ++i) {
    if (p.value[i] == k_wildcard) {
      wild_end = i + 1;
      EXPECT_EQ(p.fold[i], 0) << "wildcard at " << i;
    } else {
      EXPECT_GE(p.value[i], 0) << "position " << i;
      EXPECT_LE(p.value[i], 255) << "position " << i;
      concrete.push_back(i);
    }
    if (p.fold[i] != 0) {
      EXPECT_EQ(p.fold[i], 1);
      EXPECT_TRUE(p.value[i] >= 'a' && p.value[i] <= 'z')
          << "folded letter not lower case at " << i;
    }
  }
  EXPECT_EQ(p.wild_end, wild_end);
  EXPECT_LT(p.wild_end, p.length);
  ASSERT_EQ(p.concrete_count, static_cast<int>(concrete.size()));
  for (std::size_t k = 0; k < concrete.size(); ++k) {
    EXPECT_EQ(p.concrete[k], concrete[k]) << "concrete[" << k << "]";
  }
  EXPECT_EQ(p.concrete[p.concrete_count - 1], p.length - 1);
}

compiled_pattern compile_ok(std::string_view text, bool ignore_case = false) {
  compiled_pattern p;
  const status s = parse_pattern(text, ignore_case, p);
  EXPECT_TRUE(s.ok()) << "pattern <" << text << "> failed: " << s.message();
  if (s.ok()) expect_well_formed(p);
  return p;
}

status compile_fails(std::string_view text, bool ignore_case = false) {
  compiled_pattern p;
  return parse_pattern(text, ignore_case, p);
}

void expect_bad_hex(std::string_view text) {
  const status s = compile_fails(text);
  EXPECT_EQ(s.exit_code(), 2) << "pattern <" << text << ">";
  EXPECT_EQ(s.message(), k_bad_hex) << "pattern <" << text << ">";
}

void expect_trailing_wildcard(std::string_view text) {
  const status s = compile_fails(text);
  EXPECT_EQ(s.exit_code(), 4) << "pattern <" << text << ">";
  EXPECT_EQ(s.message(), k_trailing) << "pattern <" << text << ">";
}

std::string hex_pairs(int count, int first_value = 0) {
  static constexpr char k_digits[] = "0123456789ABCDEF";
  std::string text;
  for (int i = 0; i < count; ++i) {
    const int v = (first_value + i) & 0xFF;
    text += k_digits[v >> 4];
    text += k_digits[v & 0xF];
  }
  return text;
}

TEST(pattern, single_hex_pair) {
  const compiled_pattern p = compile_ok("41");
  EXPECT_EQ(positions_of(p), (positions{{0x41, 0}}));
  EXPECT_EQ(p.wild_end, 0);
  EXPECT_EQ(p.concrete_count, 1);
}

TEST(pattern, blanks_between_pairs_and_strings_give_the_same_positions) {
  const positions expected{{0x41, 0}, {0x42, 0}};
  for (const char* text : {"41 42", "4142", "  41   42  ", "'AB'", "\"AB\"", "41'B'", "'A' 42"}) {
    EXPECT_EQ(positions_of(compile_ok(text)), expected) << "pattern <" << text << ">";
  }
}

TEST(pattern, hex_digits_of_either_case) {
  EXPECT_EQ(positions_of(compile_ok("aB Ab ff FF 00 09 90")),
            (positions{{0xAB, 0}, {0xAB, 0}, {0xFF, 0}, {0xFF, 0}, {0, 0}, {9, 0}, {0x90, 0}}));
}

TEST(pattern, hex_bytes_are_never_folded) {
  const compiled_pattern p = compile_ok("41 61 5A 7a", /*ignore_case=*/true);
  EXPECT_EQ(positions_of(p), (positions{{0x41, 0}, {0x61, 0}, {0x5A, 0}, {0x7A, 0}}));
}

TEST(pattern, tab_is_not_a_separator) {
  expect_bad_hex("\t41");
  expect_bad_hex("41\t42");
  expect_bad_hex("41\t");
}

TEST(pattern, either_quote_opens_a_string_and_only_it_closes_it) {
  // "it's" in double quotes holds an apostrophe; 'a"b' holds a double quote.
  EXPECT_EQ(positions_of(compile_ok("\"it's\"")),
            (positions{{'i', 0}, {'t', 0}, {'\'', 0}, {'s', 0}}));
  EXPECT_EQ(positions_of(compile_ok("'a\"b'")), (positions{{'a', 0}, {'"', 0}, {'b', 0}}));
  // Blanks and "?" inside a string are ordinary bytes.
  const compiled_pattern p = compile_ok("' ? '");
  EXPECT_EQ(positions_of(p), (positions{{0x20, 0}, {0x3F, 0}, {0x20, 0}}));
  EXPECT_EQ(p.wild_end, 0);
  // Strings and hex pairs mix freely, with or without blanks.
  EXPECT_EQ(positions_of(compile_ok("'a'41\"b\" 42'c'")),
            (positions{{'a', 0}, {0x41, 0}, {'b', 0}, {0x42, 0}, {'c', 0}}));
}

TEST(pattern, unclosed_string_is_accepted) {
  EXPECT_EQ(positions_of(compile_ok("'abc")), (positions{{'a', 0}, {'b', 0}, {'c', 0}}));
  EXPECT_EQ(positions_of(compile_ok("41 \"x")), (positions{{0x41, 0}, {'x', 0}}));
  // Hex digits inside an unclosed string are characters, not pairs.
  EXPECT_EQ(positions_of(compile_ok("'4")), (positions{{'4', 0}}));
}

TEST(pattern, empty_string_adds_no_position) {
  expect_trailing_wildcard("''");
  expect_trailing_wildcard("\"\"");
  EXPECT_EQ(positions_of(compile_ok("''41")), (positions{{0x41, 0}}));
  EXPECT_EQ(positions_of(compile_ok("41''")), (positions{{0x41, 0}}));
  // An empty string after a wildcard leaves the wildcard last.
  expect_trailing_wildcard("41?''");
}

TEST(pattern, leading_and_inner_wildcards) {
  const compiled_pattern p = compile_ok("?41");
  EXPECT_EQ(positions_of(p), (positions{{k_wild, 0}, {0x41, 0}}));
  EXPECT_EQ(p.wild_end, 1);
  EXPECT_EQ(p.concrete_count, 1);
  EXPECT_EQ(p.concrete[0], 1);

  const compiled_pattern q = compile_ok("41 ? ?'a'?? 42");
  EXPECT_EQ(
      positions_of(q),
      (positions{
          {0x41, 0}, {k_wild, 0}, {k_wild, 0}, {'a', 0}, {k_wild, 0}, {k_wild, 0}, {0x42, 0}}));
  EXPECT_EQ(q.wild_end, 6);
  EXPECT_EQ(q.concrete_count, 3);
}

TEST(pattern, trailing_wildcard_or_no_position_is_exit_4) {
  for (const char* text : {"41?", "41 ? ", "?", "??", " ", "   ", "'a'?", "?41?"}) {
    expect_trailing_wildcard(text);
  }
}

TEST(pattern, bad_hex_is_exit_2) {
  // The empty text fails on its terminator; the others on a non-digit or an odd digit count.
  for (const char* text :
       {"", "4", "414", "4 1", "GG", "4G", "G4", "0x41", "41 g", "4?", "41-42", "41,42"}) {
    expect_bad_hex(text);
  }
}

TEST(pattern, odd_digit_count_is_reported_before_trailing_wildcard) {
  expect_bad_hex("?4");
  expect_bad_hex("''4");
  expect_bad_hex("41 ? 4");
}

TEST(pattern, bad_hex_after_an_open_string_elsewhere_is_still_an_error) {
  expect_bad_hex("4G'abc");
  expect_bad_hex("'abc' G");
}

TEST(pattern, ignore_case_folds_only_ascii_letters_in_strings) {
  EXPECT_EQ(positions_of(compile_ok("41 'A' 'a'", true)),
            (positions{{0x41, 0}, {0x61, 1}, {0x61, 1}}));
  EXPECT_EQ(positions_of(compile_ok("41 'A' 'a'", false)),
            (positions{{0x41, 0}, {0x41, 0}, {0x61, 0}}));

  // Every byte but NUL and the quote, inside one string, under both settings.
  std::string text = "\"";
  for (int b = 1; b < 256; ++b) {
    if (b != '"') text += static_cast<char>(b);
  }
  text += '"';
  for (const bool ignore_case : {false, true}) {
    const compiled_pattern p = compile_ok(text, ignore_case);
    ASSERT_EQ(p.length, 254);
    int i = 0;
    for (int b = 1; b < 256; ++b) {
      if (b == '"') continue;
      int value = b;
      int fold = 0;
      if (ignore_case && b >= 'A' && b <= 'Z') {
        value = b + 0x20;
        fold = 1;
      } else if (ignore_case && b >= 'a' && b <= 'z') {
        fold = 1;
      }
      EXPECT_EQ(p.value[i], value) << "byte " << b << " ignore_case " << ignore_case;
      EXPECT_EQ(p.fold[i], fold) << "byte " << b << " ignore_case " << ignore_case;
      ++i;
    }
  }
}

TEST(pattern, high_bytes_in_strings_are_ordinary_values) {
  // 0xFF would read as -1, the wildcard mark, if a character were taken as signed.
  for (const bool ignore_case : {false, true}) {
    const compiled_pattern p = compile_ok("'\xE4\xFF\x80\xC1'", ignore_case);
    EXPECT_EQ(positions_of(p), (positions{{0xE4, 0}, {0xFF, 0}, {0x80, 0}, {0xC1, 0}}));
    EXPECT_EQ(p.wild_end, 0);
    EXPECT_EQ(p.concrete_count, 4);
  }
}

TEST(pattern, cap_of_256_positions_ignores_the_rest) {
  // 300 pairs with distinct values: the first 256 are kept.
  const compiled_pattern p = compile_ok(hex_pairs(300, 7));
  ASSERT_EQ(p.length, 256);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(p.value[i], (7 + i) & 0xFF) << i;

  // A long string, and pairs separated by blanks.
  const compiled_pattern s = compile_ok("'" + std::string(300, 'x') + "'");
  EXPECT_EQ(s.length, 256);
  std::string spaced;
  for (int i = 0; i < 300; ++i) spaced += "5A ";
  EXPECT_EQ(compile_ok(spaced).length, 256);

  // Exactly 256 pairs; and text after the 256th position is not looked at, even when it
  // would be an error on its own.
  EXPECT_EQ(compile_ok(hex_pairs(256)).length, 256);
  for (const char* tail : {"GG", "4", "?", " ?", "'abc"}) {
    const compiled_pattern t = compile_ok(hex_pairs(256) + tail);
    EXPECT_EQ(t.length, 256) << tail;
    EXPECT_EQ(t.wild_end, 0) << tail;
  }

  // A string that crosses the cap is cut inside the string.
  const compiled_pattern c = compile_ok(hex_pairs(255) + "'xyz'");
  ASSERT_EQ(c.length, 256);
  EXPECT_EQ(c.value[255], 'x');
}

TEST(pattern, wildcard_in_the_256th_position_is_trailing) {
  // "?41" is fine on its own, but at the cap the 41 is never read.
  expect_trailing_wildcard(hex_pairs(255) + "?41");
  const compiled_pattern p = compile_ok(hex_pairs(254) + "?41");
  EXPECT_EQ(p.length, 256);
  EXPECT_EQ(p.wild_end, 255);
}

TEST(pattern, echo_lists_every_position) {
  EXPECT_EQ(pattern_echo(compile_ok("41")), "Searching for HEX pattern 41 ...\n");
  EXPECT_EQ(pattern_echo(compile_ok("?ab 'x'??00")),
            "Searching for HEX pattern ?? AB 78 ?? ?? 00 ...\n");
  EXPECT_EQ(pattern_echo(compile_ok("'AB'", true)), "Searching for HEX pattern 61 62 ...\n");
  EXPECT_EQ(pattern_echo(compile_ok("'AB'", false)), "Searching for HEX pattern 41 42 ...\n");
  EXPECT_EQ(pattern_echo(compile_ok("'\xE4'")), "Searching for HEX pattern E4 ...\n");
  EXPECT_EQ(pattern_echo(compile_ok("'\xFF' ff")), "Searching for HEX pattern FF FF ...\n");
}

TEST(pattern, echo_of_256_positions) {
  const std::string echo = pattern_echo(compile_ok("?" + hex_pairs(255, 1)));
  std::string expected = "Searching for HEX pattern ?? ";
  for (int i = 1; i < 256; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02X ", i);
    expected += pair;
  }
  expected += "...\n";
  EXPECT_EQ(echo, expected);
}

// Random patterns rendered as text in every legal spelling, compared with the positions they
// were made from.
TEST(pattern, random_texts_parse_to_the_positions_they_were_made_from) {
  std::mt19937 rng(20260107);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  auto blanks = [&] { return std::string(static_cast<std::size_t>(pick(0, 2)), ' '); };
  static constexpr char k_upper[] = "0123456789ABCDEF";
  static constexpr char k_lower[] = "0123456789abcdef";

  for (int round = 0; round < 3000; ++round) {
    const bool ignore_case = pick(0, 1) == 1;
    const int count = round % 50 == 0 ? pick(250, 300) : pick(1, 30);
    positions expected;
    std::string text = blanks();
    int made = 0;
    while (made < count) {
      const int kind = pick(0, 9);
      if (kind <= 1) {  // wildcard
        text += '?';
        expected.emplace_back(k_wild, 0);
        ++made;
      } else if (kind <= 5) {  // hex pair in random case
        const int v = pick(0, 255);
        text += (pick(0, 1) ? k_upper : k_lower)[v >> 4];
        text += (pick(0, 1) ? k_upper : k_lower)[v & 0xF];
        expected.emplace_back(v, 0);
        ++made;
      } else {  // string of 0 to 6 characters, closed unless it ends the text
        const char quote = pick(0, 1) ? '\'' : '"';
        text += quote;
        const int length = pick(0, 6);
        for (int k = 0; k < length && made < count; ++k) {
          int c = pick(1, 255);
          if (c == quote) c = 'q';
          if (pick(0, 2) == 0) c = pick(0, 1) ? pick('a', 'z') : pick('A', 'Z');
          text += static_cast<char>(c);
          if (ignore_case && c >= 'A' && c <= 'Z') {
            expected.emplace_back(c + 0x20, 1);
          } else {
            expected.emplace_back(c, ignore_case && c >= 'a' && c <= 'z' ? 1 : 0);
          }
          ++made;
        }
        // A string still open at the end of the text counts as closed.
        if (made == count && pick(0, 1)) break;
        text += quote;
      }
      text += blanks();
    }
    if (expected.size() > 256) expected.resize(256);
    compiled_pattern p;
    const status s = parse_pattern(text, ignore_case, p);
    if (expected.back().first == k_wild) {
      EXPECT_EQ(s.exit_code(), 4) << "pattern <" << text << ">";
      continue;
    }
    ASSERT_TRUE(s.ok()) << "pattern <" << text << ">: " << s.message();
    EXPECT_EQ(positions_of(p), expected) << "pattern <" << text << "> ignore_case " << ignore_case;
    expect_well_formed(p);
  }
}

}  // namespace
}  // namespace bytrove
