// The report layer's writers against themselves: whatever the blocks an input arrives in, every
// output form writes the same bytes, stops at the same place and keeps the same tallies as when
// the whole input comes in one block. The block boundaries are where a writer keeps state (dumps
// waiting for bytes, the limit, the counts), so this is where a writer can go wrong unseen.

#include "report/input_results.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "base/output.h"

namespace bytrove {
namespace {

using rng_type = std::mt19937;

std::size_t pick(rng_type& rng, std::size_t lo, std::size_t hi) {
  return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
}

struct found_at {
  std::uint32_t start;
  std::uint32_t member;
};

// What one feeding of an input left behind.
struct written {
  std::string text;
  std::uint64_t found = 0;
  bool stopped = false;
  std::uint64_t stop_end = 0;
  std::uint64_t bytes = 0;
  std::vector<std::uint64_t> recorded;
  std::vector<std::uint32_t> recorded_members;
  bool recorded_all = true;
  std::vector<std::pair<std::uint32_t, std::uint64_t>> per_member;
};

// Feeds `data` to `results` in blocks ending at `cuts` (the last is the input's end), each
// carrying the m-1 bytes before it as the scanner does, with the occurrences that end in it;
// stops where on_block asks to, as the scanner would.
written feed(const result_options& options, const pattern_names& patterns, const std::string& data,
             std::size_t m, const std::vector<found_at>& all, const std::vector<std::size_t>& cuts,
             std::size_t record) {
  written w;
  input_results<output> results(options, patterns);
  results.record(record);
  {
    output out(&w.text);
    results.start("dir/in put", true, 0);
    std::size_t from = 0;
    std::size_t next = 0;  // the first occurrence not yet handed over
    std::uint64_t read = 0;
    for (const std::size_t cut : cuts) {
      const std::size_t base = from >= m - 1 ? from - (m - 1) : 0;
      std::vector<std::uint32_t> starts;
      std::vector<std::uint32_t> members;
      for (; next < all.size() && all[next].start + m <= cut; ++next) {
        starts.push_back(static_cast<std::uint32_t>(all[next].start - base));
        members.push_back(all[next].member);
      }
      found_block block;
      block.starts = starts.data();
      block.count = starts.size();
      block.members = patterns.names.empty() ? nullptr : members.data();
      block.base = base;
      block.data = reinterpret_cast<const std::uint8_t*>(data.data()) + base;
      block.size = cut - base;
      read += cut - from;
      from = cut;
      if (!results.on_block(out, block)) break;
    }
    w.bytes = results.bytes_from(0, read);
    results.finish(out);
  }
  w.found = results.found();
  w.stopped = results.stopped();
  w.stop_end = results.stopped() ? results.stop_end() : 0;
  w.recorded = results.recorded();
  w.recorded_members = results.recorded_members();
  w.recorded_all = results.recorded_all();
  results.per_member().each([&](std::uint32_t p, std::uint64_t n) {
    w.per_member.push_back({p, n});
  });
  return w;
}

result_options random_options(rng_type& rng) {
  result_options o;
  o.mode = static_cast<result_mode>(pick(rng, 0, 2));
  o.json = pick(rng, 0, 2) == 0;
  o.context = pick(rng, 0, 1) == 0 ? 0 : pick(rng, 1, 40);
  o.max_count = pick(rng, 0, 2) == 0 ? pick(rng, 1, 12) : 0;
  o.colour = pick(rng, 0, 3) == 0;
  o.null_names = pick(rng, 0, 3) == 0;
  o.include_zero = pick(rng, 0, 1) == 0;
  return o;
}

TEST(input_results, every_form_writes_the_same_whatever_the_blocks) {
  rng_type rng(0x5eed0016);
  std::size_t with_output = 0;
  for (int c = 0; c < 3000; ++c) {
    const std::size_t m = pick(rng, 1, 9);
    const std::size_t n = pick(rng, 0, 2500);
    std::string data(n, '\0');
    for (char& b : data) b = static_cast<char>(pick(rng, 0, 255));
    pattern_names patterns;
    const std::size_t set_size = pick(rng, 0, 1) == 0 ? 0 : pick(rng, 1, 4);
    for (std::size_t p = 0; p < set_size; ++p) patterns.names.push_back("p" + std::to_string(p));
    patterns.lengths.assign(std::max<std::size_t>(set_size, 1), static_cast<std::uint32_t>(m));
    // Occurrences in start order, then set order; dense now and then.
    std::vector<found_at> all;
    const std::size_t density = pick(rng, 1, 60);
    for (std::size_t s = 0; s + m <= n; ++s) {
      for (std::uint32_t p = 0; p < std::max<std::size_t>(set_size, 1); ++p) {
        if (pick(rng, 1, density) == 1) all.push_back({static_cast<std::uint32_t>(s), p});
      }
    }
    std::vector<std::size_t> cuts;
    for (std::size_t at = 0; at < n;) {
      at = std::min(n, at + pick(rng, 1, pick(rng, 0, 3) == 0 ? 8 : 700));
      cuts.push_back(at);
    }
    if (cuts.empty()) cuts.push_back(0);
    const result_options options = random_options(rng);
    const std::size_t record = pick(rng, 0, 1) == 0 ? 0 : pick(rng, 1, 30);
    const written whole = feed(options, patterns, data, m, all, {n}, record);
    const written cut = feed(options, patterns, data, m, all, cuts, record);
    const std::string where = "case " + std::to_string(c);
    ASSERT_EQ(cut.text, whole.text) << where;
    EXPECT_EQ(cut.found, whole.found) << where;
    EXPECT_EQ(cut.stopped, whole.stopped) << where;
    EXPECT_EQ(cut.stop_end, whole.stop_end) << where;
    EXPECT_EQ(cut.bytes, whole.bytes) << where;
    // Kept occurrences are only for use when all of them were kept.
    EXPECT_EQ(cut.recorded_all, whole.recorded_all) << where;
    if (whole.recorded_all) {
      EXPECT_EQ(cut.recorded, whole.recorded) << where;
      EXPECT_EQ(cut.recorded_members, whole.recorded_members) << where;
    }
    EXPECT_EQ(cut.per_member, whole.per_member) << where;
    // The limit: no more than asked for, and a stop just past the last one reported.
    const std::uint64_t wanted = options.mode == result_mode::files ? 1 : options.max_count;
    const std::uint64_t expected =
        wanted == 0 ? all.size() : std::min<std::uint64_t>(wanted, all.size());
    EXPECT_EQ(whole.found, expected) << where;
    if (whole.stopped) {
      EXPECT_EQ(whole.stop_end, all[expected - 1].start + m) << where;
    }
    if (!whole.text.empty()) ++with_output;
  }
  EXPECT_GT(with_output, 2000u);  // the comparisons were not of empty outputs
}

}  // namespace
}  // namespace bytrove
