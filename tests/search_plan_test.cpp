#include "pattern/search_plan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "pattern/byte_frequency.h"
#include "pattern/compiled_pattern.h"

namespace bytrove {
namespace {

compiled_pattern compile(std::string_view text, bool ignore_case) {
  compiled_pattern p;
  const status s = parse_pattern(text, ignore_case, p);
  EXPECT_TRUE(s.ok()) << "pattern <" << text << ">: " << s.message();
  return p;
}

std::vector<int> first_n(const std::int16_t* values, int n) {
  return std::vector<int>(values, values + n);
}
std::vector<int> first_n(const std::uint8_t* values, int n) {
  return std::vector<int>(values, values + n);
}

// The whole skip table from a default and a few exceptions.
std::array<int, 256> skip_table(int fallback, std::vector<std::pair<int, int>> exceptions) {
  std::array<int, 256> table{};
  table.fill(fallback);
  for (const auto& [byte, shift] : exceptions) table[static_cast<std::size_t>(byte)] = shift;
  return table;
}

void expect_skip_table(const search_plan& plan, const std::array<int, 256>& expected) {
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(plan.byte_shift[b], expected[static_cast<std::size_t>(b)])
        << "byte_shift[0x" << std::hex << b << "]";
  }
}

TEST(byte_frequency, matches_the_published_table) {
  EXPECT_EQ(byte_frequency[0x00], 14904);
  EXPECT_EQ(byte_frequency[0x01], 1533);
  EXPECT_EQ(byte_frequency[0x20], 2663);
  EXPECT_EQ(byte_frequency[0x41], 516);
  EXPECT_EQ(byte_frequency[0x45], 725);
  EXPECT_EQ(byte_frequency[0x61], 778);
  EXPECT_EQ(byte_frequency[0x65], 1365);
  EXPECT_EQ(byte_frequency[0x71], 158);
  EXPECT_EQ(byte_frequency[0x8B], 1045);
  EXPECT_EQ(byte_frequency[0xA7], 120);
  EXPECT_EQ(byte_frequency[0xE8], 477);
  EXPECT_EQ(byte_frequency[0xFE], 364);
  EXPECT_EQ(byte_frequency[0xFF], 3928);
  EXPECT_EQ(std::accumulate(byte_frequency.begin(), byte_frequency.end(), 0), 99999);
}

TEST(search_plan, worked_plan_without_wildcard_or_folding) {
  const compiled_pattern p = compile("65 00 71 42", false);
  const search_plan plan = build_search_plan(p, false);
  EXPECT_EQ(first_n(plan.order, 4), (std::vector<int>{1, 0, 2, 3}));
  EXPECT_EQ(first_n(plan.order_byte, 4), (std::vector<int>{0x00, 0x65, 0x71, 0x42}));
  EXPECT_EQ(first_n(plan.order_fold, 4), (std::vector<int>{0, 0, 0, 0}));
  expect_skip_table(plan, skip_table(4, {{0x42, 0}, {0x71, 1}, {0x00, 2}, {0x65, 3}}));
  EXPECT_EQ(first_n(plan.mismatch_shift, 4), (std::vector<int>{4, 4, 4, 1}));
  EXPECT_EQ(plan.match_shift, 4);
}

TEST(search_plan, worked_plan_with_wildcard_and_folding) {
  const compiled_pattern p = compile("'e' 00 ? 71 'B'", true);
  ASSERT_EQ(p.length, 5);
  ASSERT_EQ(p.wild_end, 3);
  ASSERT_EQ(p.concrete_count, 4);
  const search_plan plan = build_search_plan(p, true);
  // Keys before sorting: 'e' 1365 + 725 = 2090, 00 14904, 71 158.
  EXPECT_EQ(first_n(plan.order, 4), (std::vector<int>{1, 0, 3, 4}));
  EXPECT_EQ(first_n(plan.order_byte, 4), (std::vector<int>{0x00, 0x65, 0x71, 0x62}));
  EXPECT_EQ(first_n(plan.order_fold, 4), (std::vector<int>{0, 1, 0, 1}));
  EXPECT_EQ(first_n(plan.order_or, 4), (std::vector<int>{0, 0x20, 0, 0x20}));
  expect_skip_table(plan, skip_table(2, {{0x62, 0}, {0x42, 0}, {0x71, 1}}));
  EXPECT_EQ(first_n(plan.mismatch_shift, 4), (std::vector<int>{5, 5, 2, 1}));
  EXPECT_EQ(plan.match_shift, 5);
}

TEST(search_plan, single_position) {
  const search_plan plan = build_search_plan(compile("41", false), false);
  EXPECT_EQ(plan.order[0], 0);
  EXPECT_EQ(plan.match_shift, 1);
  EXPECT_EQ(plan.mismatch_shift[0], 1);
  expect_skip_table(plan, skip_table(1, {{0x41, 0}}));
}

TEST(search_plan, two_positions) {
  const search_plan plan = build_search_plan(compile("41 42", false), false);
  expect_skip_table(plan, skip_table(2, {{0x41, 1}, {0x42, 0}}));
  EXPECT_EQ(plan.match_shift, 2);
}

TEST(search_plan, repeated_byte_matches_overlap) {
  EXPECT_EQ(build_search_plan(compile("41 41 41", false), false).match_shift, 1);
  EXPECT_EQ(build_search_plan(compile("41 41", false), false).match_shift, 1);
  EXPECT_EQ(build_search_plan(compile("41 42 41", false), false).match_shift, 2);
  EXPECT_EQ(build_search_plan(compile("41 42 43", false), false).match_shift, 3);
}

TEST(search_plan, wildcard_bounds_every_skip) {
  // 0x41 lies before the wildcard and is not entered.
  expect_skip_table(build_search_plan(compile("41?42", false), false), skip_table(1, {{0x42, 0}}));
  // A leading wildcard gives the same table as the pattern without it.
  expect_skip_table(build_search_plan(compile("?41 42", false), false),
                    skip_table(2, {{0x41, 1}, {0x42, 0}}));
  expect_skip_table(build_search_plan(compile("41 42", false), false),
                    skip_table(2, {{0x41, 1}, {0x42, 0}}));
}

TEST(search_plan, folded_letters_enter_both_cases_in_the_skip_table) {
  expect_skip_table(build_search_plan(compile("'ab'", true), true),
                    skip_table(2, {{0x61, 1}, {0x41, 1}, {0x62, 0}, {0x42, 0}}));
  // A hex 41 is exact; the string a at position 1 enters both cases.
  const compiled_pattern p = compile("41 'a' 42", true);
  const search_plan plan = build_search_plan(p, true);
  expect_skip_table(plan, skip_table(3, {{0x41, 1}, {0x61, 1}, {0x42, 0}}));
  // Without ignore-case the same text is three exact bytes: 41 61 42.
  expect_skip_table(build_search_plan(compile("41 'a' 42", false), false),
                    skip_table(3, {{0x41, 2}, {0x61, 1}, {0x42, 0}}));
}

TEST(search_plan, exact_and_folded_neighbours_overlap) {
  // 61 'A': position 0 takes only 0x61, position 1 takes a or A; 61 61 61 matches twice.
  EXPECT_EQ(build_search_plan(compile("61 'A'", true), true).match_shift, 1);
  // 41 'a': position 0 takes only 0x41; after a match the window may move by one.
  const search_plan plan = build_search_plan(compile("41 'a'", true), true);
  EXPECT_EQ(plan.match_shift, 1);
  EXPECT_EQ(plan.mismatch_shift[0], 1);
}

TEST(search_plan, slot_of_the_last_position_never_moves) {
  // n = 2: nothing is sorted even though 00 is far more common than 01.
  EXPECT_EQ(first_n(build_search_plan(compile("01 00", false), false).order, 2),
            (std::vector<int>{0, 1}));
  // n = 1 behind wildcards.
  EXPECT_EQ(build_search_plan(compile("??41", false), false).order[0], 2);
  // n = 3: the most common byte sits last but is not sorted.
  EXPECT_EQ(first_n(build_search_plan(compile("71 41 00", false), false).order, 3),
            (std::vector<int>{1, 0, 2}));
  // Equal keys keep their position order.
  EXPECT_EQ(first_n(build_search_plan(compile("41 71 41 41 00", false), false).order, 5),
            (std::vector<int>{0, 2, 3, 1, 4}));
}

// Slot 0 and slot 1 of "X Y FF" swap exactly when Y's key is larger than X's, which shows the
// key each byte gets.
TEST(search_plan, letter_frequencies_are_folded_only_for_a_to_z_under_ignore_case) {
  struct row {
    const char* text;
    bool ignore_case;
    bool swapped;
  };
  const row rows[] = {
      {"02 'a' FF", false, false},  // 1038 vs 778
      {"02 'a' FF", true, true},    // 1038 vs 778 + 516
      {"02 61 FF", true, true},     // the key follows the byte value, hex or string
      {"02 41 FF", true, false},    // upper case keeps its own count, 516
      {"02 'A' FF", true, true},    // but a string A is stored as a folded a
      {"2A 'z' FF", false, false},  // 301 vs 202
      {"2A 'z' FF", true, true},    // 301 vs 202 + 184
      {"0A 60 FF", true, false},    // 761 vs 247: "`" is not a letter
      {"21 7B FF", true, false},    // 227 vs 162: "{" is not a letter
      {"2A 5A FF", true, false},    // 301 vs 184: Z is not raised
  };
  for (const row& r : rows) {
    const search_plan plan = build_search_plan(compile(r.text, r.ignore_case), r.ignore_case);
    EXPECT_EQ(first_n(plan.order, 3),
              (r.swapped ? std::vector<int>{1, 0, 2} : std::vector<int>{0, 1, 2}))
        << r.text << " ignore_case " << r.ignore_case;
  }
}

// ---- Properties over random patterns, against definitions computed the slow way. ----

// The bytes that position p accepts.
std::bitset<256> accepted(const compiled_pattern& p, int position) {
  std::bitset<256> set;
  const int v = p.value[position];
  if (v == k_wildcard) {
    set.set();
  } else {
    set.set(static_cast<std::size_t>(v));
    if (p.fold[position] == 1) set.set(static_cast<std::size_t>(v & 0xDF));
  }
  return set;
}

// Whether the pattern moved right by s can still match, given that the text byte under each of
// `matched` positions lies in that position's accepted set and the byte under `failed` (when
// not -1) does not. Every text byte is independent, so it suffices that each constraint leaves
// a byte the moved pattern accepts.
bool consistent(const compiled_pattern& p, int s, const std::vector<int>& matched, int failed) {
  for (const int position : matched) {
    const int q = position - s;
    if (q < 0) continue;
    if ((accepted(p, position) & accepted(p, q)).none()) return false;
  }
  if (failed >= 0 && failed - s >= 0) {
    if ((~accepted(p, failed) & accepted(p, failed - s)).none()) return false;
  }
  return true;
}

struct reference_plan {
  std::vector<int> order;
  std::array<int, 256> byte_shift{};
  std::vector<int> mismatch_shift;
  int match_shift = 0;
};

reference_plan reference_for(const compiled_pattern& p, bool ignore_case) {
  const int m = p.length;
  const int n = p.concrete_count;
  reference_plan ref;

  // Rarest byte verified first: slots 0..n-2 most common first, ties in position order.
  std::array<int, 256> freq{};
  for (int b = 0; b < 256; ++b)
    freq[static_cast<std::size_t>(b)] = byte_frequency[static_cast<std::size_t>(b)];
  if (ignore_case) {
    for (int c = 'a'; c <= 'z'; ++c)
      freq[static_cast<std::size_t>(c)] += byte_frequency[static_cast<std::size_t>(c - 0x20)];
  }
  for (int i = 0; i < m; ++i) {
    if (p.value[i] != k_wildcard) ref.order.push_back(i);
  }
  std::stable_sort(ref.order.begin(), ref.order.end() - 1, [&](int a, int b) {
    return freq[static_cast<std::size_t>(p.value[a])] > freq[static_cast<std::size_t>(p.value[b])];
  });

  // Skip: distance from the last position to the rightmost position at or after the last
  // wildcard that accepts the byte.
  int w = 0;
  for (int i = 0; i < m; ++i) {
    if (p.value[i] == k_wildcard) w = i + 1;
  }
  for (int b = 0; b < 256; ++b) {
    int shift = m - w;
    for (int q = m - 1; q >= w; --q) {
      if (accepted(p, q).test(static_cast<std::size_t>(b))) {
        shift = m - 1 - q;
        break;
      }
    }
    ref.byte_shift[static_cast<std::size_t>(b)] = shift;
  }

  // Shifts: the smallest s at which the moved pattern is consistent with what was learned.
  ref.mismatch_shift.assign(static_cast<std::size_t>(n), m);
  for (int i = 0; i < n; ++i) {
    const std::vector<int> matched(ref.order.begin() + i + 1, ref.order.end());
    for (int s = 1; s < m; ++s) {
      if (consistent(p, s, matched, ref.order[static_cast<std::size_t>(i)])) {
        ref.mismatch_shift[static_cast<std::size_t>(i)] = s;
        break;
      }
    }
  }
  ref.match_shift = m;
  for (int s = 1; s < m; ++s) {
    if (consistent(p, s, ref.order, -1)) {
      ref.match_shift = s;
      break;
    }
  }
  return ref;
}

// A pattern built position by position: `alphabet` keeps it small enough that overlaps and
// near-overlaps are common.
compiled_pattern random_pattern(std::mt19937& rng, int m, bool ignore_case,
                                const std::vector<int>& alphabet, int wildcard_percent) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  compiled_pattern p;
  p.length = static_cast<std::int16_t>(m);
  for (int i = 0; i < m; ++i) {
    if (i < m - 1 && pick(1, 100) <= wildcard_percent) {
      p.value[i] = k_wildcard;
      p.wild_end = i + 1;
      continue;
    }
    int v = alphabet[static_cast<std::size_t>(pick(0, static_cast<int>(alphabet.size()) - 1))];
    const bool letter = (v | 0x20) >= 'a' && (v | 0x20) <= 'z';
    if (ignore_case && letter && pick(0, 1) == 1) {
      v |= 0x20;
      p.fold[i] = 1;
    }
    p.value[i] = static_cast<std::int16_t>(v);
    p.concrete[p.concrete_count++] = static_cast<std::int16_t>(i);
  }
  return p;
}

std::string describe(const compiled_pattern& p) {
  std::string text;
  for (int i = 0; i < p.length; ++i) {
    char element[16];
    if (p.value[i] == k_wildcard) {
      std::snprintf(element, sizeof element, "?? ");
    } else {
      std::snprintf(element, sizeof element, "%02X%s ", static_cast<unsigned>(p.value[i]),
                    p.fold[i] ? "f" : "");
    }
    text += element;
  }
  return text;
}

void expect_plan_matches_reference(const compiled_pattern& p, bool ignore_case) {
  const search_plan plan = build_search_plan(p, ignore_case);
  const reference_plan ref = reference_for(p, ignore_case);
  const int n = p.concrete_count;
  const int m = p.length;
  SCOPED_TRACE("pattern " + describe(p) + (ignore_case ? "ignore-case" : ""));
  ASSERT_EQ(first_n(plan.order, n), ref.order);
  for (int i = 0; i < n; ++i) {
    const int position = plan.order[i];
    EXPECT_EQ(plan.order_byte[i], p.value[position] & 0xFF) << "slot " << i;
    EXPECT_EQ(plan.order_fold[i], ignore_case ? p.fold[position] : 0) << "slot " << i;
    EXPECT_EQ(plan.order_or[i], plan.order_fold[i] == 1 ? 0x20 : 0) << "slot " << i;
  }
  for (int b = 0; b < 256; ++b) {
    EXPECT_EQ(plan.byte_shift[b], ref.byte_shift[static_cast<std::size_t>(b)]) << "byte " << b;
    // 0 exactly for the bytes that can stand at the last position.
    EXPECT_EQ(plan.byte_shift[b] == 0, accepted(p, m - 1).test(static_cast<std::size_t>(b)))
        << "byte " << b;
  }
  EXPECT_EQ(first_n(plan.mismatch_shift, n), ref.mismatch_shift);
  EXPECT_EQ(plan.match_shift, ref.match_shift);
}

TEST(search_plan, random_plans_equal_the_definitions) {
  std::mt19937 rng(424242);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const std::vector<std::vector<int>> alphabets = {
      {0x41, 0x61},                          // one letter in two cases
      {0x41, 0x42, 0x61, 0x62},              // two letters
      {0x41, 0x61, 0x00, 0xC1, 0xE1},        // letters and their 0x80 look-alikes
      {0x00, 0x20, 0x40, 0x5B, 0x60, 0x7B},  // bytes one bit away from letters
  };
  for (int round = 0; round < 4000; ++round) {
    const bool ignore_case = pick(0, 1) == 1;
    const int m = round % 200 == 0 ? pick(200, 256) : pick(1, 20);
    const auto& alphabet = alphabets[static_cast<std::size_t>(round) % alphabets.size()];
    const compiled_pattern p = random_pattern(rng, m, ignore_case, alphabet, pick(0, 40));
    expect_plan_matches_reference(p, ignore_case);
    if (HasFatalFailure() || HasFailure()) return;
  }
}

TEST(search_plan, random_plans_over_all_byte_values_equal_the_definitions) {
  // Every byte value takes part, so the verification order meets all frequency keys.
  std::mt19937 rng(777);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  std::vector<int> all(256);
  std::iota(all.begin(), all.end(), 0);
  for (int round = 0; round < 600; ++round) {
    const bool ignore_case = pick(0, 1) == 1;
    const compiled_pattern p = random_pattern(rng, pick(1, 120), ignore_case, all, pick(0, 15));
    expect_plan_matches_reference(p, ignore_case);
    if (HasFailure()) return;
  }
}

}  // namespace
}  // namespace bytrove
