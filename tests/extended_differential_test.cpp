// Brace patterns against two references: libyara (the field's engine, which accepts the hex
// part of the syntax) and the naive expand-and-compare matcher (which decides the superset YARA
// rejects: negation in this YARA release, 'text' items, open jumps). Random patterns, on random
// data over a small alphabet with expansions planted, searched through the real block scanner
// with small blocks so that occurrences straddle them.
//
// YARA keeps one match per start (of whichever length it met first) and stops recording a
// string after a million matches; the inputs here stay far below that, and starts are compared
// as sets. Lengths (the shortest match at each start) are compared with the naive matcher only.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <yara.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "naive_matcher.h"
#include "pattern/extended_pattern.h"
#include "pattern/pattern_set.h"
#include "scan/block_scanner.h"
#include "scan/extended_matcher.h"
#include "test_support.h"

namespace bytrove {
namespace {

using rng_type = std::mt19937_64;

std::size_t pick(rng_type& rng, std::size_t lo, std::size_t hi) {
  return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
}

constexpr unsigned char k_alphabet[] = {0x41, 0x42, 0x4D, 0x5A, 0x00, 0xFF};

std::string hex(unsigned v) {
  static constexpr char k_digits[] = "0123456789ABCDEF";
  return {k_digits[(v >> 4) & 15], k_digits[v & 15]};
}

std::string random_byte_item(rng_type& rng, bool superset) {
  const unsigned b = k_alphabet[pick(rng, 0, std::size(k_alphabet) - 1)];
  switch (pick(rng, 0, superset ? 7 : 5)) {
    case 0:
      return "??";
    case 1:
      return hex(b).substr(0, 1) + "?";
    case 2:
      return "?" + hex(b).substr(1);
    case 6:
      return "~" + (pick(rng, 0, 1) == 0 ? hex(b) : hex(b).substr(0, 1) + "?");
    case 7:
      return pick(rng, 0, 1) == 0 ? "'AB'" : "'MZ'";
    default:
      return hex(b);
  }
}

std::string random_sequence(rng_type& rng, bool superset, int depth, std::size_t max_items);

std::string random_item(rng_type& rng, bool superset, int depth) {
  if (depth < 2 && pick(rng, 0, 4) == 0) {
    std::string alt = "(";
    const std::size_t branches = pick(rng, 2, 3);
    for (std::size_t b = 0; b < branches; ++b) {
      alt += (b == 0 ? " " : " | ") + random_sequence(rng, superset, depth + 1, 3);
    }
    return alt + " )";
  }
  return random_byte_item(rng, superset);
}

std::string random_sequence(rng_type& rng, bool superset, int depth, std::size_t max_items) {
  std::string text;
  const std::size_t n = pick(rng, 1, max_items);
  for (std::size_t i = 0; i < n; ++i) {
    if (!text.empty()) text += ' ';
    text += random_item(rng, superset, depth);
    if (depth == 0 && i + 1 < n && pick(rng, 0, 3) == 0) {
      const std::size_t lo = pick(rng, 0, 3);
      const std::size_t form = pick(rng, 0, superset ? 2 : 1);
      text += form == 0 ? " [" + std::to_string(lo) + "]"
              : form == 1
                  ? " [" + std::to_string(lo) + "-" + std::to_string(lo + pick(rng, 1, 5)) + "]"
                  : " [" + std::to_string(lo) + "-]";
    }
  }
  return text;
}

std::string random_data(rng_type& rng, const std::vector<naive_expansion>& expansions,
                        std::size_t size) {
  std::string data(size, '\0');
  for (char& c : data) {
    c = static_cast<char>(pick(rng, 0, 9) == 0
                              ? pick(rng, 0, 255)
                              : k_alphabet[pick(rng, 0, std::size(k_alphabet) - 1)]);
  }
  // Plant expansions, each byte drawn from what its class accepts.
  const std::size_t plants = pick(rng, 0, 8);
  for (std::size_t i = 0; i < plants && !expansions.empty(); ++i) {
    const naive_expansion& e = expansions[pick(rng, 0, expansions.size() - 1)];
    if (e.size() > size) continue;
    const std::size_t at = pick(rng, 0, size - e.size());
    for (std::size_t k = 0; k < e.size(); ++k) {
      unsigned v = static_cast<unsigned>(pick(rng, 0, 255));
      while (!e[k]->has(v)) v = (v + 1) & 255;
      data[at + k] = static_cast<char>(v);
    }
  }
  return data;
}

// One occurrence as the scanner hands it out, with its member (0 for a pattern alone).
struct member_hit {
  std::uint64_t start;
  std::uint32_t length;
  std::uint32_t member;
  bool operator==(const member_hit&) const = default;
};

void PrintTo(const member_hit& h, std::ostream* os) {
  *os << h.start << "+" << h.length << "#" << h.member;
}

std::vector<member_hit> as_member(const std::vector<naive_hit>& hits, std::uint32_t member) {
  std::vector<member_hit> out;
  for (const naive_hit& h : hits) out.push_back({h.start, h.length, member});
  return out;
}

// What the block scanner hands out, every member, in its order: from a file in 4 KiB blocks,
// or, with `pieces`, from a pipe written in those pieces with a pause after each, read as a
// live stream (searched whenever it pauses). Either way the order must be the file's.
std::vector<member_hit> bytrove_hits(const search_target& target, std::string_view data,
                                     matcher_kind kind,
                                     const std::vector<std::size_t>* pieces = nullptr) {
  struct collect final : block_sink {
    std::vector<member_hit> hits;
    bool on_block(const found_block& b) override {
      for (std::size_t i = 0; i < b.count; ++i) {
        hits.push_back({b.base + b.starts[i], b.lengths[i], b.members ? b.members[i] : 0});
      }
      return true;
    }
  } sink;
  block_scanner scanner(target, kind, 4096);
  if (pieces == nullptr) {
    const unique_fd fd = input_file(data);
    (void)scanner.scan(fd.get(), read_mode::stream, scan_span{}, sink);
    return sink.hits;
  }
  int ends[2];
  EXPECT_EQ(::pipe(ends), 0);
  unique_fd read_end(ends[0]);
  std::thread writer([write_fd = ends[1], data, pieces] {
    std::string_view rest = data;
    for (std::size_t i = 0; !rest.empty(); ++i) {
      const std::size_t n = std::min(rest.size(), (*pieces)[i % pieces->size()]);
      if (::write(write_fd, rest.data(), n) != static_cast<ssize_t>(n)) break;
      rest.remove_prefix(n);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    ::close(write_fd);
  });
  (void)scanner.scan(read_end.get(), read_mode::live, scan_span{}, sink);
  writer.join();
  return sink.hits;
}

// Pieces to write a live stream in: some short, some past a block.
std::vector<std::size_t> random_pieces(rng_type& rng) {
  std::vector<std::size_t> pieces(pick(rng, 1, 5));
  for (std::size_t& n : pieces)
    n = pick(rng, 0, 2) == 0 ? pick(rng, 4097, 9000) : pick(rng, 1, 700);
  return pieces;
}

// YARA's callback: the starts of every match of the rule's strings. libyara packs its match
// records unaligned, so its own iteration macros read them misaligned: not ours to sanitize.
__attribute__((no_sanitize("undefined"))) int collect_yara_starts(YR_SCAN_CONTEXT* context,
                                                                  int message, void* message_data,
                                                                  void* user) {
  if (message != CALLBACK_MSG_RULE_MATCHING) return CALLBACK_CONTINUE;
  auto* starts = static_cast<std::set<std::uint64_t>*>(user);
  auto* rule_matched = static_cast<YR_RULE*>(message_data);
  const YR_STRING* string = nullptr;
  yr_rule_strings_foreach(rule_matched, string) {
    const YR_MATCH* match = nullptr;
    yr_string_matches_foreach(context, string, match) {
      starts->insert(static_cast<std::uint64_t>(match->base + match->offset));
    }
  }
  return CALLBACK_CONTINUE;
}

// YARA's starts for the hex string, or false when YARA rejects it.
bool yara_starts(const std::string& text, std::string_view data, std::set<std::uint64_t>& out) {
  YR_COMPILER* compiler = nullptr;
  if (yr_compiler_create(&compiler) != ERROR_SUCCESS) return false;
  const std::string rule = "rule r { strings: $a = " + text + " condition: $a }";
  YR_RULES* rules = nullptr;
  const bool ok = yr_compiler_add_string(compiler, rule.c_str(), nullptr) == 0 &&
                  yr_compiler_get_rules(compiler, &rules) == ERROR_SUCCESS;
  yr_compiler_destroy(compiler);
  if (!ok) return false;
  const int scanned = yr_rules_scan_mem(rules, reinterpret_cast<const std::uint8_t*>(data.data()),
                                        data.size(), 0, collect_yara_starts, &out, 0);
  yr_rules_destroy(rules);
  return scanned == ERROR_SUCCESS;
}

struct yara_library {
  yara_library() { yr_initialize(); }
  ~yara_library() { yr_finalize(); }
};

std::set<std::uint64_t> starts_of(const std::vector<naive_hit>& hits) {
  std::set<std::uint64_t> s;
  for (const naive_hit& h : hits) s.insert(h.start);
  return s;
}

// Random cases; returns how many YARA accepted.
int run_cases(std::uint64_t seed, int cases, bool superset, bool ignore_case) {
  yara_library library;
  rng_type rng(seed);
  int compared_with_yara = 0;
  extended_pattern ab;  // the set's plain member; its expansion points into it
  EXPECT_TRUE(parse_extended_pattern("{ 41 42 }", {ignore_case, false}, 0, ab).ok());
  std::vector<naive_expansion> plain_ab;
  EXPECT_TRUE(naive_expand(ab.items, 1, plain_ab));
  for (int c = 0; c < cases; ++c) {
    const std::string text = "{ " + random_sequence(rng, superset, 0, 6) + " }";
    SCOPED_TRACE(text);
    extended_pattern pattern;
    const status parsed = parse_extended_pattern(text, {ignore_case, false}, 0, pattern);
    EXPECT_TRUE(parsed.ok()) << parsed.message();
    if (!parsed.ok()) continue;
    std::vector<naive_expansion> expansions;
    if (!naive_expand(pattern.items, 600, expansions)) continue;
    const std::string data =
        random_data(rng, expansions, pick(rng, 1, 3) * 4096 + pick(rng, 0, 300));
    const std::vector<naive_hit> want = naive_find_all(expansions, data);
    // Alone, with both kinds of anchor search.
    extended_matcher alone(pattern, ignore_case);
    search_target target;
    target.extended = &alone;
    target.length = alone.span();
    for (const matcher_kind kind : {matcher_kind::automatic, matcher_kind::horspool}) {
      EXPECT_EQ(bytrove_hits(target, data, kind), as_member(want, 0));
    }
    // In a set after a plain member: the set's anchors go through the set matcher, and the
    // two members' hits come in order of start, whatever the blocks or a stream's pauses.
    pattern_set set;
    const status set_parsed = parse_pattern_set("41 42\n" + text + "\n", "t.set",
                                                pattern_syntax{ignore_case, false}, set);
    EXPECT_TRUE(set_parsed.ok()) << set_parsed.message();
    extended_matcher mixed(set, ignore_case);
    search_target set_target;
    set_target.extended = &mixed;
    set_target.members = 2;
    set_target.length = mixed.span();
    std::vector<member_hit> both = as_member(naive_find_all(plain_ab, data), 0);
    const std::vector<member_hit> brace = as_member(want, 1);
    both.insert(both.end(), brace.begin(), brace.end());
    std::sort(both.begin(), both.end(), [](const member_hit& x, const member_hit& y) {
      return x.start != y.start ? x.start < y.start : x.member < y.member;
    });
    EXPECT_EQ(bytrove_hits(set_target, data, matcher_kind::automatic), both);
    if (c % 4 == 0) {
      const std::vector<std::size_t> pieces = random_pieces(rng);
      EXPECT_EQ(bytrove_hits(target, data, matcher_kind::automatic, &pieces), as_member(want, 0));
      EXPECT_EQ(bytrove_hits(set_target, data, matcher_kind::automatic, &pieces), both);
    }
    std::set<std::uint64_t> yara;
    if (!ignore_case && yara_starts(text, data, yara)) {
      ++compared_with_yara;
      EXPECT_EQ(starts_of(want), yara) << "the naive matcher and YARA disagree";
    }
  }
  return compared_with_yara;
}

TEST(extended_differential, hex_strings_match_yara_and_naive) {
  EXPECT_GT(run_cases(0xb7ace001, 300, false, false), 200);
}

TEST(extended_differential, superset_items_match_naive) {
  run_cases(0xb7ace002, 200, true, false);
  run_cases(0xb7ace003, 100, true, true);
}

// A span longer than a block: the carry holds all of it, and the chunk reads reach it.
TEST(extended_differential, span_longer_than_a_block) {
  extended_pattern pattern;
  ASSERT_TRUE(parse_extended_pattern("{ 4D 5A [5000-9000] 50 45 }", {}, 0, pattern).ok());
  std::string data(30000, 'x');
  for (const std::size_t at : {std::size_t{10}, std::size_t{4090}, std::size_t{12000}}) {
    data[at] = 'M';
    data[at + 1] = 'Z';
  }
  data.replace(10 + 2 + 7000, 2, "PE");
  data.replace(12000 + 2 + 9000, 2, "PE");
  extended_matcher matcher(pattern, false);
  search_target target;
  target.extended = &matcher;
  target.length = matcher.span();
  const std::vector<member_hit> want = {{10, 7004, 0}, {12000, 9004, 0}};  // 4090's is too near
  EXPECT_EQ(bytrove_hits(target, data, matcher_kind::automatic), want);
}

}  // namespace
}  // namespace bytrove
