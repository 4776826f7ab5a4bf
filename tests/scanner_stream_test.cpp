// The stream scanner checked against the naive matcher: generated patterns and data around
// every block boundary, by hand at the boundaries, small and low-entropy inputs, and pipes fed
// in short reads, all through real file descriptors and with every matcher.

#include <gtest/gtest.h>

#include "scanner_harness.h"

namespace bytrove {
namespace {

using namespace scan_harness;

void run_random_cases(std::uint64_t seed, int cases, bool ignore_case) {
  rng_type rng(seed);
  for (int c = 0; c < cases; ++c) {
    const pattern_style& style = k_styles[pick(rng, 0, std::size(k_styles) - 1)];
    const alphabet kind = ignore_case ? alphabet::letters : static_cast<alphabet>(pick(rng, 0, 2));
    const std::size_t m = random_length(rng);
    const std::string text =
        random_pattern_text(rng, m, style.wild, style.text_share, kind, style.leading_wildcard);
    const auto bp = build(text, ignore_case);
    ASSERT_NE(bp, nullptr);
    const auto length = static_cast<std::size_t>(bp->pattern.length);
    ASSERT_EQ(length, m) << text;
    const std::size_t size = random_size(rng, length);
    const std::string data = random_data(rng, bp->pattern, size, kind);
    SCOPED_TRACE(testing::Message() << "case " << c << " (" << style.name << "), pattern " << text
                                    << ", m " << length << ", size " << size);
    check_file(*bp, data);
    if (testing::Test::HasFailure()) return;  // one well-described failure is enough
  }
}

// ---------------------------------------------------------------------------------------------
// Generated cases

TEST(scanner, random_patterns_match_naive) { run_random_cases(0x5eed0001, 300, false); }

TEST(scanner, random_folded_patterns_match_naive_on_mixed_case_data) {
  run_random_cases(0x5eed0002, 200, true);
}

TEST(scanner, folded_pattern_compiled_without_ignore_case_is_exact) {
  // The same letters compiled without ignore-case match one case only.
  rng_type rng(0x5eed0003);
  for (int c = 0; c < 40; ++c) {
    const std::size_t m = pick(rng, 1, 40);
    const std::string text = random_pattern_text(rng, m, 0.1, 1.0, alphabet::letters);
    const auto exact = build(text, false);
    const auto folded = build(text, true);
    ASSERT_TRUE(exact != nullptr && folded != nullptr);
    std::string data =
        random_data(rng, folded->pattern, pick(rng, 0, 2 * k_block + 10), alphabet::letters);
    SCOPED_TRACE(testing::Message() << "pattern " << text);
    check_file(*exact, data);
    check_file(*folded, data);
  }
}

// ---------------------------------------------------------------------------------------------
// Block boundaries, by hand

TEST(scanner, occurrences_around_every_block_boundary_are_reported_once) {
  // Every start from m before a boundary to just after it, for a short and the longest
  // pattern, across the first and second boundary.
  for (const char* text : {"41 42 43 44", "'x'? ? 'yz'", "7E"}) {
    const auto bp = build(text, false);
    ASSERT_NE(bp, nullptr);
    const auto m = static_cast<std::size_t>(bp->pattern.length);
    rng_type rng(7);
    for (const std::size_t boundary : {k_block, 2 * k_block}) {
      for (std::size_t at = boundary - m - 1; at <= boundary + 1; ++at) {
        std::string data(boundary + 1000, '.');
        plant(rng, bp->pattern, data, at);
        SCOPED_TRACE(testing::Message() << text << " at " << at);
        check_file(*bp, data);
      }
    }
  }
}

TEST(scanner, longest_pattern_across_block_boundaries) {
  // 256 positions: the carried tail is 255 bytes, the most the buffer holds.
  std::string text;
  for (int k = 0; k < 256; ++k) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02X", (k * 37 + 11) & 0xFF);
    text += k == 100 ? std::string("?") : std::string(pair);
  }
  const auto bp = build(text, false);
  ASSERT_NE(bp, nullptr);
  ASSERT_EQ(bp->pattern.length, 256);
  rng_type rng(11);
  for (const std::size_t at : {std::size_t{0}, k_block - 256, k_block - 255, k_block - 128,
                               k_block - 1, k_block, 2 * k_block - 255, 3 * k_block - 256}) {
    std::string data(3 * k_block, '\x5A');
    plant(rng, bp->pattern, data, at);
    SCOPED_TRACE(testing::Message() << "at " << at);
    ASSERT_EQ(naive_find_all(bp->pattern, data).size(), 1u);
    check_file(*bp, data);
  }
}

TEST(scanner, sizes_at_block_boundaries_with_match_at_the_very_end) {
  const auto bp = build("'end' 00", false);
  ASSERT_NE(bp, nullptr);
  rng_type rng(13);
  for (const std::size_t size :
       {std::size_t{4}, k_small_block, k_small_block + 1, k_block - 1, k_block, k_block + 1,
        2 * k_block - 2, 2 * k_block, 2 * k_block + 2, 3 * k_block}) {
    std::string data(size, 'e');
    plant(rng, bp->pattern, data, size - 4);
    SCOPED_TRACE(testing::Message() << "size " << size);
    ASSERT_EQ(naive_find_all(bp->pattern, data), std::vector<std::uint64_t>{size - 4});
    check_file(*bp, data);
  }
}

// ---------------------------------------------------------------------------------------------
// Small inputs and overlaps

TEST(scanner, overlapping_and_short_inputs) {
  struct small_case {
    const char* pattern;
    bool ignore_case;
    std::string data;
    std::vector<std::uint64_t> offsets;
  };
  const small_case cases[] = {
      {"41 41", false, "AAA", {0, 1}},
      {"41 41", false, "AAAA", {0, 1, 2}},
      {"41 ? 41", false, "AAAAA", {0, 1, 2}},
      {"'aba'", false, "ababababa", {0, 2, 4, 6}},
      {"'ab'", true, "ab AB aB Ab", {0, 3, 6, 9}},
      {"'ab'", false, "ab AB aB Ab", {0}},
      {"61 62", true, "ab AB aB Ab", {0}},  // hex bytes are never folded
      {"'ab'", false, "", {}},
      {"'abc'", false, "ab", {}},
      {"?'bc'", false, "bc", {}},
      {"41", false, std::string(1, 'A'), {0}},
      {"00", false, std::string(3, '\0'), {0, 1, 2}},
      {"FF FF", false, "\xFF\xFF\xFF", {0, 1}},
  };
  for (const small_case& c : cases) {
    const auto bp = build(c.pattern, c.ignore_case);
    ASSERT_NE(bp, nullptr);
    SCOPED_TRACE(testing::Message() << c.pattern << " over \"" << c.data << "\"");
    EXPECT_EQ(naive_find_all(bp->pattern, c.data), c.offsets);
    check_file(*bp, c.data);
  }
}

// ---------------------------------------------------------------------------------------------
// Low-entropy data: the skip table is useless and verification fails late

TEST(scanner, low_entropy_inputs_match_naive) {
  struct periodic_case {
    const char* pattern;
    std::string unit;  // repeated to fill the input
  };
  std::string long_zero_pattern;
  for (int k = 0; k < 255; ++k) long_zero_pattern += "00";
  const std::string long_zero_then_one = long_zero_pattern + "01";
  long_zero_pattern += "00";
  const periodic_case cases[] = {
      {"41", "A"},
      {"41 41 41 41", "A"},
      {long_zero_pattern.c_str(), std::string(1, '\0')},   // every window matches
      {long_zero_then_one.c_str(), std::string(1, '\0')},  // never matches, fails last
      {"00 00 00 01 00", std::string(1, '\0')},
      {"'abcab'", "abc"},
      {"'abcabcabd'", "abc"},
      {"?'bc'?'bc'", "abc"},
      {"'c'?'a'", "abc"},
      {"'ABAB'", "ab"},
      {"'aaaab'", "aaaab"},
      {"'baaaa'", "aaaab"},
      {"61 ? ? ? 61", "aaaaaaab"},
  };
  for (const periodic_case& c : cases) {
    for (const bool ignore_case : {false, true}) {
      const auto bp = build(c.pattern, ignore_case);
      ASSERT_NE(bp, nullptr);
      for (const std::size_t size : {k_small_block + 3, k_block + 7}) {
        std::string data;
        while (data.size() < size) data += c.unit;
        data.resize(size);
        SCOPED_TRACE(testing::Message()
                     << c.pattern << (ignore_case ? " (ignore case)" : "") << ", size " << size);
        check_file(*bp, data);
      }
    }
  }
}

TEST(scanner, switching_between_matchers_across_blocks_loses_nothing) {
  // A0 is rare and 00 common, so the filter anchors on A0 positions: over a run of A0 every
  // window passes the filter and fails verification, which makes the automatic matcher fall
  // back to the skip loop for a stretch of blocks and later return to the filter. True
  // occurrences sit in every block and across every boundary, before and after each switch.
  const auto bp = build("A0 A0 A0 A0 00 A0 A0 A0", false);
  ASSERT_NE(bp, nullptr);
  const vector_anchors anchors = choose_anchors(bp->pattern);
  ASSERT_EQ(anchors.byte1, 0xA0);
  ASSERT_EQ(anchors.byte2, 0xA0);
  rng_type rng(17);
  const std::size_t blocks = 20;
  std::string data(blocks * k_block + 100, '\xA0');
  for (std::size_t b = 1; b <= blocks; ++b) {
    plant(rng, bp->pattern, data, b * k_block - 3);
    plant(rng, bp->pattern, data, b * k_block - k_block / 2);
  }
  plant(rng, bp->pattern, data, data.size() - 8);
  ASSERT_GE(naive_find_all(bp->pattern, data).size(), 2 * blocks);
  check_file(*bp, data);
}

// ---------------------------------------------------------------------------------------------
// Pipes: short reads do not end the input

TEST(scanner, pipe_fed_in_small_chunks_is_read_to_the_end) {
  rng_type rng(0x5eed0004);
  const auto bp = build("'needle' ? 0D 0A", false);
  ASSERT_NE(bp, nullptr);
  std::string data = random_data(rng, bp->pattern, 2 * k_block + 999, alphabet::full);
  const std::vector<std::size_t> chunk_sets[] = {
      {1, 7, 300, 4096, 13},
      {k_block - 1, 1, 2},
      {65536},
  };
  const expected_scan want = expect_naive(*bp, data, "StdIn");
  ASSERT_GE(want.offsets.size(), 3u);
  for (const auto& chunks : chunk_sets) {
    for (const matcher_kind kind : k_kinds) {
      SCOPED_TRACE(testing::Message()
                   << "first chunk " << chunks.front() << ", " << kind_name(kind));
      expect_scan(want, scan_pipe(*bp, data, chunks, 25, kind), "StdIn");
    }
  }
}

TEST(scanner, pipe_with_random_patterns_matches_naive) {
  rng_type rng(0x5eed0005);
  for (int c = 0; c < 12; ++c) {
    const std::size_t m = random_length(rng);
    const std::string text = random_pattern_text(rng, m, 0.1, 0.5, alphabet::small);
    const auto bp = build(text, false);
    ASSERT_NE(bp, nullptr);
    const std::string data = random_data(rng, bp->pattern, random_size(rng, m), alphabet::small);
    std::vector<std::size_t> chunks;
    for (int k = 0; k < 5; ++k) chunks.push_back(pick(rng, 1, 9000));
    const matcher_kind kind = k_kinds[static_cast<std::size_t>(c) % std::size(k_kinds)];
    SCOPED_TRACE(testing::Message()
                 << "pattern " << text << ", size " << data.size() << ", " << kind_name(kind));
    expect_scan(expect_naive(*bp, data, "StdIn"), scan_pipe(*bp, data, chunks, 25, kind), "StdIn");
  }
}

TEST(scanner, empty_pipe_searches_nothing) {
  const auto bp = build("41", false);
  ASSERT_NE(bp, nullptr);
  const scan_result got = scan_pipe(*bp, "", {1}, 0);
  EXPECT_EQ(got.out, "");
  EXPECT_EQ(got.err, "");
  EXPECT_EQ(got.counters.files_searched, 1u);
  EXPECT_EQ(got.counters.bytes_searched, 0u);
}

}  // namespace
}  // namespace bytrove
