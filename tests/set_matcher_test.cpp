// The set file parser, and the set matcher checked against a naive search of every member at
// every start, through block-like calls that resume after a full output.

#include "scan/set_matcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "naive_matcher.h"
#include "pattern/pattern_set.h"

namespace bytrove {
namespace {

struct parse_case {
  std::string_view text;
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
      {"41\n42 4\n", k_exit_bad_hex, "sigs.set:2:1: odd number of hex digits: 42 4\n"},
      {"ZIP = 'PK' 03 4\r\n", k_exit_bad_hex,
       "sigs.set:1:12: odd number of hex digits: ZIP = 'PK' 03 4\n"},
      {"\n\nX = 41 ?\n", k_exit_trailing_wildcard,
       "sigs.set:3:8: pattern ends in a wildcard: X = 41 ?\n"},
      {"Y = ''\n", k_exit_trailing_wildcard, "sigs.set:1:5: pattern has no positions: Y = ''\n"},
      {"X = # nothing\n", k_exit_bad_hex, "sigs.set:1:4: empty pattern: X = # nothing\n"},
      {"a b = 41\n", k_exit_bad_hex, "sigs.set:1:2: invalid pattern name: a b = 41\n"},
      {" = 41\n", k_exit_bad_hex, "sigs.set:1:2: missing pattern name:  = 41\n"},
      {"41\t42\n", k_exit_bad_hex, "sigs.set:1:3: invalid hex digit: 41\t42\n"},
      {"41 4G\n", k_exit_bad_hex, "sigs.set:1:5: invalid hex digit: 41 4G\n"},
      {"PDF = \"'%PDF-'\n", k_exit_bad_hex, "sigs.set:1:7: unclosed quote: PDF = \"'%PDF-'\n"},
      {"A = 'x' # it's\n", 0, "A"},
      {std::string_view("A = 'A\0B'\n", 11), k_exit_bad_hex,
       "sigs.set:1:7: NUL byte (write it as hex 00): A = 'A\\x00B'\n"},
      {std::string_view("B = 41 \0 zz\n", 13), k_exit_bad_hex,
       "sigs.set:1:8: NUL byte (write it as hex 00): B = 41 \\x00 zz\n"},
      {"\xEF\xBB\xBF"
       "A = 41\n\xEF\xBB\xBF\n",
       k_exit_bad_hex, "sigs.set:2:1: invalid hex digit: \xEF\xBB\xBF\n"},
      {"\xEF\xBB\xBF"
       "# comment\nB = 42\n",
       0, "B"},
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
  EXPECT_EQ(set.pattern(0).fold[1], 1);
  EXPECT_EQ(set.pattern(0).value[1], 'b');
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
    for (const set_member& member : set.members)
      EXPECT_TRUE(std::isupper(member.name[0])) << member.name;
  }
}

// A random pattern over a small alphabet: hex bytes, quoted letters, wildcards (never last).
std::string random_pattern(std::mt19937& rng, int length, bool wildcards) {
  static const char* const k_tokens[] = {"00", "41", "61", "FF", "'a'", "'B'", "'b'", "?"};
  std::string text;
  for (int i = 0; i < length; ++i) {
    const bool last = i + 1 == length;
    text += k_tokens[rng() % (last || !wildcards ? 7 : 8)];
    text += ' ';
  }
  return text;
}

// Members of every kind the matcher must handle, lines joined into one set file. Long members
// without wildcards all fit the strided tables.
std::vector<std::string> random_set(std::mt19937& rng, std::size_t size, bool long_only) {
  std::vector<std::string> lines;
  if (!long_only) lines = {"00 00", "41"};
  while (lines.size() < size) {
    const int length = long_only ? 8 + static_cast<int>(rng() % 30)
                                 : 1 + static_cast<int>(rng() % (rng() % 4 == 0 ? 40 : 6));
    std::string text = random_pattern(rng, length, !long_only);
    lines.push_back(text);
    if (rng() % 5 == 0) lines.push_back(text);          // a duplicate
    if (rng() % 5 == 0) lines.push_back("61 " + text);  // the first a suffix of this one
    if (rng() % 5 == 0) lines.push_back(text + "41");   // a prefix
  }
  return lines;
}

// Copies of random members written over the data, folded letters in either case: long
// members would hardly ever occur in random data.
void plant_members(const pattern_set& set, std::string& data, std::mt19937& rng) {
  for (int copies = 0; copies < 20; ++copies) {
    const compiled_pattern pattern = set.pattern(rng() % set.members.size());
    const auto m = static_cast<std::size_t>(pattern.length);
    if (data.size() < m) continue;
    const std::size_t start = rng() % (data.size() - m + 1);
    for (std::size_t k = 0; k < m; ++k) {
      if (pattern.value[k] == k_wildcard) continue;
      const int upper = pattern.fold[k] != 0 && rng() % 2 == 0 ? 0x20 : 0;
      data[start + k] = static_cast<char>(pattern.value[k] & ~upper);
    }
  }
}

struct hit {
  std::uint32_t start;
  std::uint32_t member;
  bool operator==(const hit&) const = default;
};

std::vector<hit> naive_hits(const pattern_set& set, std::string_view data, std::size_t from,
                            std::size_t first_end) {
  std::vector<hit> hits;
  std::vector<compiled_pattern> patterns;
  for (std::size_t i = 0; i < set.members.size(); ++i) patterns.push_back(set.pattern(i));
  for (std::size_t s = from; s < data.size(); ++s) {
    for (std::uint32_t i = 0; i < set.members.size(); ++i) {
      const auto m = static_cast<std::size_t>(patterns[i].length);
      if (s + m > first_end && naive_matches_at(patterns[i], data, s)) {
        hits.push_back({static_cast<std::uint32_t>(s), i});
      }
    }
  }
  return hits;
}

// Calls the matcher as the scanner would, resuming until the block is done.
// One set of work buffers serves every call, as one thread's does block after block.
std::vector<hit> matcher_hits(const set_matcher& matcher, const std::string& padded,
                              std::size_t len, std::size_t from, std::size_t first_end,
                              std::size_t capacity) {
  static set_matcher::work_buffers work;
  std::vector<std::uint32_t> starts(capacity);
  std::vector<std::uint32_t> members(capacity);
  std::vector<hit> hits;
  const auto* buf = reinterpret_cast<const std::uint8_t*>(padded.data());
  while (from < len) {
    const auto r =
        matcher.search(buf, len, from, first_end, starts.data(), members.data(), capacity, work);
    if (r.count == 0 && r.next == from) {
      ADD_FAILURE() << "no progress at " << from;
      break;
    }
    for (std::size_t k = 0; k < r.count; ++k) hits.push_back({starts[k], members[k]});
    from = r.next;
  }
  return hits;
}

TEST(set_matcher, agrees_with_naive_search) {
  std::mt19937 rng(20261209);
  const set_filter_kind kinds[] = {set_filter_kind::automatic,   set_filter_kind::hashed,
                                   set_filter_kind::hashed_avx2, set_filter_kind::ssse3,
                                   set_filter_kind::avx2,        set_filter_kind::avx512};
  for (int round = 0; round < 200; ++round) {
    const bool ignore_case = round % 2 == 1;
    // Past 160 members the strided tables take the strong members.
    const std::size_t size = round % 5 == 2 ? 200 + rng() % 200 : 1 + rng() % 60;
    std::string text;
    for (const std::string& line : random_set(rng, size, round % 3 == 1)) text += line + "\n";
    pattern_set set;
    ASSERT_TRUE(parse_pattern_set(text, "r", ignore_case, set).ok());
    static const char k_alphabet[] = {'\0', 'A', 'a', 'B', 'b', '\xFF'};
    std::string data(rng() % 3000, '\0');
    for (char& ch : data) ch = k_alphabet[rng() % (round % 7 == 0 ? 2 : 6)];
    plant_members(set, data, rng);
    const std::size_t from = data.empty() ? 0 : rng() % (data.size() / 4 + 1);
    const std::size_t first_end = rng() % 300;
    const std::vector<hit> expected = naive_hits(set, data, from, first_end);
    const std::string padded = data + std::string(64, static_cast<char>(rng()));
    const set_filter_kind kind = kinds[static_cast<std::size_t>(round) % std::size(kinds)];
    const set_matcher matcher(set, kind);
    const std::size_t capacity = set.members.size() + (round % 3 == 0 ? 0 : rng() % 5000);
    const std::vector<hit> found =
        matcher_hits(matcher, padded, data.size(), from, first_end, capacity);
    ASSERT_EQ(found.size(), expected.size()) << "round " << round << " set:\n" << text;
    EXPECT_TRUE(found == expected) << "round " << round;
  }
}

// Every member matching almost everywhere: more hits per stripe than the matcher buffers, and
// an output that holds one start's hits at a time.
TEST(set_matcher, dense_output_resumes) {
  std::string text;
  for (int i = 0; i < 500; ++i)
    text += i % 4 == 0 ? "00\n" : i % 4 == 1 ? "00 00\n" : i % 4 == 2 ? "? 00\n" : "'a'\n";
  pattern_set set;
  ASSERT_TRUE(parse_pattern_set(text, "dense", true, set).ok());
  std::string data(2000, '\0');
  for (std::size_t i = 0; i < data.size(); i += 7) data[i] = 'A';
  const std::string padded = data + std::string(64, '\0');
  for (const set_filter_kind kind :
       {set_filter_kind::automatic, set_filter_kind::hashed, set_filter_kind::avx2}) {
    const set_matcher matcher(set, kind);
    const std::vector<hit> found =
        matcher_hits(matcher, padded, data.size(), 0, 0, set.members.size());
    EXPECT_TRUE(found == naive_hits(set, data, 0, 0)) << found.size();
  }
}

// Sets of tens of thousands of members, as a large signature collection has: their hashed
// tables are as large as they get and their filter words fill up, so collisions are many. The
// members are 8 to 12 random bytes (some prefixes or copies of others), a few hundred of them
// written over random data with runs of zeros; the reference looks every window up in a map.
TEST(set_matcher, many_members_agree_with_a_lookup) {
  std::mt19937 rng(11);
  for (const std::size_t size : {3000u, 24000u}) {
    std::vector<std::string> members;
    std::string text;
    while (members.size() < size) {
      std::string body(8 + rng() % 5, '\0');
      for (char& ch : body) ch = static_cast<char>(rng());
      if (rng() % 16 == 0 && !members.empty()) body = members[rng() % members.size()];
      if (rng() % 16 == 0 && !members.empty()) body = members[rng() % members.size()] + "\x01";
      members.push_back(body);
      static const char k_hex[] = "0123456789ABCDEF";
      for (const char ch : body) {
        text += k_hex[static_cast<unsigned char>(ch) >> 4];
        text += k_hex[static_cast<unsigned char>(ch) & 15];
        text += ' ';
      }
      text += '\n';
    }
    pattern_set set;
    ASSERT_TRUE(parse_pattern_set(text, "many", false, set).ok());
    std::string data(std::size_t{1} << 18, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = i % 4096 < 512 ? '\0' : char(rng());
    for (int copies = 0; copies < 400; ++copies) {
      const std::string& member = members[rng() % members.size()];
      data.replace(rng() % (data.size() - member.size()), member.size(), member);
    }
    std::unordered_map<std::string, std::vector<std::uint32_t>> by_bytes;
    for (std::uint32_t i = 0; i < members.size(); ++i) by_bytes[members[i]].push_back(i);
    const std::size_t longest = static_cast<std::size_t>(set.max_length);
    std::vector<hit> expected;
    for (std::size_t s = 0; s < data.size(); ++s) {
      std::vector<std::uint32_t> here;
      for (std::size_t m = 8; m <= longest && s + m <= data.size(); ++m) {
        const auto found = by_bytes.find(data.substr(s, m));
        if (found != by_bytes.end())
          here.insert(here.end(), found->second.begin(), found->second.end());
      }
      std::sort(here.begin(), here.end());
      for (const std::uint32_t i : here) expected.push_back({static_cast<std::uint32_t>(s), i});
    }
    ASSERT_GE(expected.size(), 400u);
    const std::string padded = data + std::string(64, '\0');
    for (const set_filter_kind kind :
         {set_filter_kind::automatic, set_filter_kind::hashed, set_filter_kind::avx2}) {
      const set_matcher matcher(set, kind);
      const std::vector<hit> found =
          matcher_hits(matcher, padded, data.size(), 0, 0, set.members.size() + 1000);
      ASSERT_EQ(found.size(), expected.size()) << size;
      EXPECT_TRUE(found == expected) << size;
    }
  }
}

}  // namespace
}  // namespace bytrove

namespace bytrove {
namespace {

// Data made of one short stretch repeated (ab ab ..., zeros, FF), and sets whose members are
// that stretch repeated k times and then something else, some of them cut so they do occur,
// some duplicated, some with wildcards, at sizes that use the buckets, the strided tables and
// the tables looked at every place: the places where fingerprints and verification are most
// often fooled. Every filter kind must still find exactly the naive matches.
TEST(set_matcher, repetitive_data_and_members) {
  const std::string stretches[] = {"ab", std::string(1, '\0'), "\xFF", "abc", "abcd", "aB"};
  std::mt19937 rng(7);
  for (int round = 0; round < 24; ++round) {
    const std::string& stretch = stretches[static_cast<std::size_t>(round) % std::size(stretches)];
    const std::size_t size = round % 3 == 0 ? 40 : round % 3 == 1 ? 300 : 600;
    std::string text;
    for (std::size_t k = 0; k < size; ++k) {
      std::string body;
      for (std::size_t r = 0; r < 2 + k % (120 / stretch.size()); ++r) body += stretch;
      std::string line;
      static const char k_hex[] = "0123456789ABCDEF";
      for (const char ch : body) {
        const auto u = static_cast<unsigned char>(ch);
        line += k_hex[u >> 4];
        line += k_hex[u & 15];
        line += rng() % 16 == 0 ? " ? " : " ";
      }
      const int tail = static_cast<int>(rng() % 4);
      line += tail == 0 ? "62 62" : tail == 1 ? "'zz'" : tail == 2 ? "00 41" : "";
      if (line.back() == ' ') line.pop_back();
      if (line.size() >= 2 && line.substr(line.size() - 1) == "?") line += " 61";
      text += line + "\n";
      if (rng() % 8 == 0) text += line + "\n";  // a duplicate
    }
    pattern_set set;
    const status parsed = parse_pattern_set(text, "rep", round % 2 == 1, set);
    ASSERT_TRUE(parsed.ok()) << parsed.message();
    std::string data;
    while (data.size() < 2000) data += stretch;
    if (round % 4 == 3) data[rng() % data.size()] = 'z';  // one break in the period
    const std::string padded = data + std::string(64, stretch[0]);
    const std::vector<hit> expected = naive_hits(set, data, 0, 0);
    for (const set_filter_kind kind :
         {set_filter_kind::automatic, set_filter_kind::hashed, set_filter_kind::avx2}) {
      const set_matcher matcher(set, kind);
      const std::vector<hit> found =
          matcher_hits(matcher, padded, data.size(), 0, 0, set.members.size() + 4096);
      ASSERT_EQ(found.size(), expected.size()) << "round " << round;
      EXPECT_TRUE(found == expected) << "round " << round;
    }
  }
}

}  // namespace
}  // namespace bytrove
