#include "cli/switches.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "cli/run_settings.h"

namespace bytrove {
namespace {

struct flags {
  bool ignore_case;
  bool recurse;
  bool verbose;
  std::uint32_t attribute_mask;
};

void expect_settings(const run_settings& s, const flags& f, std::string_view text) {
  EXPECT_EQ(s.ignore_case, f.ignore_case) << "switch text <" << text << ">";
  EXPECT_EQ(s.recurse, f.recurse) << "switch text <" << text << ">";
  EXPECT_EQ(s.verbose, f.verbose) << "switch text <" << text << ">";
  EXPECT_EQ(s.attribute_mask, f.attribute_mask) << "switch text <" << text << ">";
  EXPECT_FALSE(s.progress) << "switch text <" << text << ">";
}

run_settings apply(std::initializer_list<std::string_view> texts) {
  run_settings s;
  for (const std::string_view text : texts) {
    const status result = parse_switches(text, s);
    EXPECT_TRUE(result.ok()) << "switch text <" << text << ">: " << result.message();
  }
  return s;
}

TEST(switches, each_letter_in_either_case) {
  struct row {
    const char* text;
    flags expected;
  };
  const row rows[] = {
      {"i", {true, false, false, 0x21}},   {"I", {true, false, false, 0x21}},
      {"r", {false, true, false, 0x21}},   {"R", {false, true, false, 0x21}},
      {"v", {false, false, true, 0x21}},   {"V", {false, false, true, 0x21}},
      {"h", {false, false, false, 0x23}},  {"H", {false, false, false, 0x23}},
      {"s", {false, false, false, 0x25}},  {"S", {false, false, false, 0x25}},
      {"hs", {false, false, false, 0x27}},
  };
  for (const row& r : rows) expect_settings(apply({r.text}), r.expected, r.text);
}

TEST(switches, plus_and_minus_suffixes) {
  expect_settings(apply({"irv"}), {true, true, true, 0x21}, "irv");
  expect_settings(apply({"i+r+v+"}), {true, true, true, 0x21}, "i+r+v+");
  expect_settings(apply({"i", "r", "v"}), {true, true, true, 0x21}, "i r v");
  expect_settings(apply({"r", "R-I"}), {true, false, false, 0x21}, "r R-I");
  expect_settings(apply({"i", "i-"}), {false, false, false, 0x21}, "i i-");
  expect_settings(apply({"h+", "h-"}), {false, false, false, 0x21}, "h+ h-");
  expect_settings(apply({"hs", "s-"}), {false, false, false, 0x23}, "hs s-");
  // Turning off a bit that is not set leaves the mask as it was.
  expect_settings(apply({"h-s-"}), {false, false, false, 0x21}, "h-s-");
  expect_settings(apply({"v-"}), {false, false, false, 0x21}, "v-");
  // A letter right after another letter is the next letter, and the first is on.
  expect_settings(apply({"ii-"}), {false, false, false, 0x21}, "ii-");
  expect_settings(apply({"v-v"}), {false, false, true, 0x21}, "v-v");
}

TEST(switches, unknown_option_names_the_rest_of_the_text) {
  struct row {
    const char* text;
    const char* message;
  };
  const row rows[] = {
      {"", "Unknown option \"\".\n"},  // the first letter is examined even when absent
      {"q", "Unknown option \"q\".\n"},
      {"Q", "Unknown option \"Q\".\n"},  // named as written
      {"x+", "Unknown option \"x+\".\n"},
      {"-x", "Unknown option \"-x\".\n"},  // what "--x" leaves after its first "-"
      {"+", "Unknown option \"+\".\n"},
      {"i--", "Unknown option \"-\".\n"},  // i off, then "-" as a letter
      {"i+-", "Unknown option \"-\".\n"},
      {"tmp/a.bin", "Unknown option \"tmp/a.bin\".\n"},
      {"i ", "Unknown option \" \".\n"},
  };
  for (const row& r : rows) {
    run_settings s;
    const status result = parse_switches(r.text, s);
    EXPECT_EQ(result.exit_code(), 3) << "switch text <" << r.text << ">";
    EXPECT_EQ(result.message(), r.message) << "switch text <" << r.text << ">";
  }
}

TEST(switches, letters_before_the_bad_one_stay_applied) {
  run_settings s;
  status result = parse_switches("ivq", s);
  EXPECT_EQ(result.message(), "Unknown option \"q\".\n");
  expect_settings(s, {true, false, true, 0x21}, "ivq");

  // Letters after the bad one are not applied.
  run_settings t;
  result = parse_switches("rxv", t);
  EXPECT_EQ(result.message(), "Unknown option \"xv\".\n");
  expect_settings(t, {false, true, false, 0x21}, "rxv");

  run_settings u;
  result = parse_switches("h-s+i-z", u);
  EXPECT_EQ(result.message(), "Unknown option \"z\".\n");
  expect_settings(u, {false, false, false, 0x25}, "h-s+i-z");
}

}  // namespace
}  // namespace bytrove
