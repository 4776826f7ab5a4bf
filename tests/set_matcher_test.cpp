// The set file parser.

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <string>

#include "pattern/pattern_set.h"

namespace bytrove {
namespace {

struct parse_case {
  const char* text;
  int exit_code;
  const char* message;  // the error, or the members' names joined by ','
};

std::string names_of(const pattern_set& set) {
  std::string names;
  for (const set_member& member : set.members) names += (names.empty() ? "" : ",") + member.name;
  return names;
}

TEST(pattern_set, parses_names_comments_and_errors) {
  const parse_case cases[] = {
      {"ELF = 7F 45 4C 46   # executables\n41 42\n", 0, "ELF,2"},
      {"# header\n\n \t\n  'a=b'\r\nx.y+z-1_ = \"#\" 00 # c\r\n  # note = 41\n", 0, "4,x.y+z-1_"},
      {"? 41 42\nA=41\nA = 41", 0, "1,A,A"},
      {"41\n42 4\n", k_exit_bad_hex, "sigs.set:2: Hexadecimal pattern is not valid.\n"},
      {"\n\nX = 41 ?\n", k_exit_trailing_wildcard, "sigs.set:3: Trailing wildcard is not allowed.\n"},
      {"X = # nothing\n", k_exit_bad_hex, "sigs.set:1: Hexadecimal pattern is not valid.\n"},
      {"a b = 41\n", k_exit_bad_hex, "sigs.set:1: Pattern name is not valid.\n"},
      {" = 41\n", k_exit_bad_hex, "sigs.set:1: Pattern name is not valid.\n"},
      {"41\t42\n", k_exit_bad_hex, "sigs.set:1: Hexadecimal pattern is not valid.\n"},
      {"# only comments\n\r\n", k_exit_usage, "sigs.set: the pattern set is empty.\n"},
      {"", k_exit_usage, "sigs.set: the pattern set is empty.\n"},
  };
  for (const parse_case& c : cases) {
    pattern_set set;
    const status parsed = parse_pattern_set(c.text, "sigs.set", false, set);
    EXPECT_EQ(parsed.exit_code(), c.exit_code) << c.text;
    EXPECT_EQ(parsed.ok() ? names_of(set) : parsed.message(), c.message) << c.text;
  }
  pattern_set set;
  ASSERT_TRUE(parse_pattern_set("N = 'aB' ? 43\n", "f", true, set).ok());
  EXPECT_EQ(set.max_length, 4);
  EXPECT_EQ(set.members[0].pattern.fold[1], 1);
  EXPECT_EQ(set.members[0].pattern.value[1], 'b');
}

TEST(pattern_set, shipped_signatures_load) {
  std::ifstream file(BYTROVE_SOURCE_DIR "/samples/signatures.set");
  ASSERT_TRUE(file.good());
  std::stringstream text;
  text << file.rdbuf();
  for (const bool ignore_case : {false, true}) {
    pattern_set set;
    const status parsed = parse_pattern_set(text.str(), "signatures.set", ignore_case, set);
    ASSERT_TRUE(parsed.ok()) << parsed.message();
    EXPECT_GE(set.members.size(), 40u);
    for (const set_member& member : set.members) EXPECT_TRUE(std::isupper(member.name[0])) << member.name;
  }
}

}  // namespace
}  // namespace bytrove
