// The options for analysts (--count, --files-with-matches, --json, --max-count, --context,
// --range), each checked against its definition worked out from the naive matcher's offsets,
// with one pattern and with sets, on files and pipes, at one and three threads.

#include <gtest/gtest.h>

#include "scanner_harness.h"

namespace bytrove {
namespace {

using namespace scan_harness;

// ---------------------------------------------------------------------------------------------
// The options for analysts: each checked against its definition, computed here from the naive
// matcher's offsets, on a file and on a pipe, at one and three threads with small chunks.

std::string lower_hex(std::string_view bytes) {
  std::string hex;
  for (const char c : bytes) {
    static constexpr char k_digits[] = "0123456789abcdef";
    hex += k_digits[static_cast<unsigned char>(c) >> 4];
    hex += k_digits[static_cast<unsigned char>(c) & 15];
  }
  return hex;
}

// The patterns searched: one unnamed, or a set whose occurrences carry their names.
struct searched {
  std::vector<std::unique_ptr<built_pattern>> patterns;
  std::vector<std::string> names;  // empty for one pattern
};

// The results by definition: every member's naive offsets, merged by offset then set order
// (exactly the merge of searching each member alone), cut to the range and the limit.
std::string reference_results(const searched& what, std::string_view data, const std::string& name,
                              const option_case& o) {
  const std::uint64_t end = std::min<std::uint64_t>(o.end, data.size());
  std::vector<std::pair<std::uint64_t, std::size_t>> all;
  for (std::size_t i = 0; i < what.patterns.size(); ++i) {
    const auto m = static_cast<std::uint64_t>(what.patterns[i]->pattern.length);
    for (const std::uint64_t s : naive_find_all(what.patterns[i]->pattern, data)) {
      if (s >= o.start && s + m <= end) all.emplace_back(s, i);
    }
  }
  std::sort(all.begin(), all.end());
  if (o.max_count != 0 && all.size() > o.max_count) all.resize(o.max_count);
  const bool set = !what.names.empty();
  if (o.mode == "--files-with-matches") return all.empty() ? "" : name + "\n";
  if (o.mode == "--count") {
    if (!set) return name + ":" + std::to_string(all.size()) + "\n";
    std::string text;
    for (std::size_t i = 0; i < what.names.size(); ++i) {
      const auto n =
          std::count_if(all.begin(), all.end(), [&](const auto& f) { return f.second == i; });
      if (n > 0) text += name + ":" + what.names[i] + ":" + std::to_string(n) + "\n";
    }
    return text;
  }
  std::string text;
  for (const auto& [s, i] : all) {
    const auto m = static_cast<std::uint64_t>(what.patterns[i]->pattern.length);
    if (!o.json) {
      std::string line = reference_report_line(s, name);
      if (set) line.insert(line.size() - 1, " [" + what.names[i] + "]");
      text += line;
      continue;
    }
    text += R"({"type":"match","path":")" + name + R"(","offset":)" + std::to_string(s);
    if (set) text += R"(,"pattern":")" + what.names[i] + "\"";
    if (o.context != 0) {
      const std::uint64_t lo = std::max(o.start, s - std::min<std::uint64_t>(s, o.context));
      const std::uint64_t hi = std::min(end, s + m + o.context);
      text += ",\"length\":" + std::to_string(m) + ",\"context_offset\":" + std::to_string(lo) +
              ",\"context\":\"" + lower_hex(data.substr(lo, hi - lo)) + "\"";
    }
    text += "}\n";
  }
  return text;
}

TEST(analyst_options, match_their_definition_on_files_and_pipes_with_patterns_and_sets) {
  rng_type rng(0x5eed0300 + test_threads());
  temp_dir tmp;
  const scoped_chdir cd(tmp.path());
  for (int c = 0; c < 60; ++c) {
    const pattern_style& style = k_styles[pick(rng, 0, std::size(k_styles) - 1)];
    const alphabet kind = static_cast<alphabet>(pick(rng, 0, 2));
    const std::size_t m = random_length(rng);
    const std::string text =
        random_pattern_text(rng, m, style.wild, style.text_share, kind, style.leading_wildcard);
    searched what;
    what.patterns.push_back(build(text, false));
    ASSERT_NE(what.patterns[0], nullptr);
    const std::size_t size =
        chance(rng, 0.07) ? pick(rng, k_block, 2 * k_block) : pick(rng, 0, 9000);
    std::string data = random_data(rng, what.patterns[0]->pattern, size, kind);
    const option_case o = random_options(rng, size, m);
    std::vector<std::string> args = option_args(o);
    // A set: members that may be prefixes or suffixes of each other, or repeat, each planted.
    if (chance(rng, 0.4)) {
      std::string set_text = "# a set\n";
      for (std::size_t k = 1 + pick(rng, 1, 6); k > 0; --k) {
        std::string member = text;
        if (chance(rng, 0.3) && m > 1) {
          member =
              random_pattern_text(rng, pick(rng, 1, m), style.wild, style.text_share, kind, false);
        } else if (chance(rng, 0.5)) {
          member = random_pattern_text(rng, random_length(rng), style.wild, style.text_share, kind,
                                       style.leading_wildcard);
        }
        // A line of a set file cannot hold a line break, and its quotes must be closed.
        if (member.find_first_of("\r\n") != std::string::npos) member = "41 ? 42";
        char open = 0;
        for (const char ch : member) {
          if (open == 0 && (ch == '\'' || ch == '"')) {
            open = ch;
          } else if (ch == open) {
            open = 0;
          }
        }
        if (open != 0) member += open;
        what.patterns.push_back(build(member, false));
        ASSERT_NE(what.patterns.back(), nullptr);
        const bool named = chance(rng, 0.7);
        what.names.push_back(named ? "p" + std::to_string(k) : "");
        set_text += (named ? what.names.back() + " = " : std::string()) + member + "\n";
        if (!named)
          what.names.back() = std::to_string(std::count(set_text.begin(), set_text.end(), '\n'));
        const auto mm = static_cast<std::size_t>(what.patterns.back()->pattern.length);
        if (data.size() >= mm)
          plant(rng, what.patterns.back()->pattern, data, pick(rng, 0, data.size() - mm));
      }
      // Now and then 200 more members on repetitive data: a stretch repeated 1 to 40 times and
      // a tail, over data holding a long run of that stretch, past the bucket filter's size.
      // Drawn from a generator of their own, so the other cases stay what they were.
      rng_type many(static_cast<std::uint32_t>(c) * 7919u + test_threads());
      if (chance(many, 0.3)) {
        const bool ab = chance(many, 0.5);
        const std::string run_text = ab ? "'ab' " : "00 ";
        const std::string run_bytes = ab ? "ab" : std::string(1, '\0');
        for (std::size_t k = 0; k < 200; ++k) {
          std::string member;
          for (std::size_t r = 0; r <= k % 40; ++r) member += run_text;
          member += k % 3 == 0 ? "62 62" : k % 3 == 1 ? "'ab'" : "61";
          what.patterns.push_back(build(member, false));
          ASSERT_NE(what.patterns.back(), nullptr);
          what.names.push_back("r" + std::to_string(k));
          set_text += what.names.back() + " = " + member + "\n";
        }
        const std::size_t from = data.empty() ? 0 : pick(many, 0, data.size() - 1);
        for (std::size_t at = from; at < data.size() && at < from + 3000; ++at) {
          data[at] = run_bytes[(at - from) % run_bytes.size()];
        }
      }
      what.patterns.erase(what.patterns.begin());  // the set stands for the pattern
      tmp.write_file("p.set", set_text);
      args.push_back("--patterns=p.set");
    } else {
      args.push_back(text);
    }
    tmp.write_file("f.bin", data);
    testing::Message trace;
    trace << "case " << c << ", size " << size << ":";
    for (const std::string& arg : args) trace << " '" << arg << "'";
    if (!what.names.empty()) trace << ", set members: " << what.names.size();
    SCOPED_TRACE(trace);
    for (const char* threads : {"1", "3"}) {
      SCOPED_TRACE(testing::Message() << "--threads " << threads);
      const std::uint64_t chunk = random_chunk(rng, m);
      std::vector<std::string> file_args = args;
      file_args.push_back("f.bin");
      const run_result on_file = run_threads(file_args, threads, chunk, -1);
      // Script modes print their lines alone: no banner with JSON, counts or names.
      const std::string banner = o.json || !o.mode.empty() ? "" : k_banner;
      EXPECT_EQ(on_file.out, banner + reference_results(what, data, "f.bin", o));
      EXPECT_EQ(on_file.err, "");
      int ends[2];
      ASSERT_EQ(::pipe(ends), 0);
      unique_fd read_end(ends[0]);
      std::thread writer = feed_pipe(ends[1], data, {pick(rng, 1, 70000), 4096}, 3);
      const run_result on_pipe = run_threads(args, threads, chunk, read_end.get());
      read_end.reset();
      writer.join();
      EXPECT_EQ(on_pipe.out, banner + reference_results(what, data, "StdIn", o));
    }
    if (testing::Test::HasFailure()) return;
  }
}

}  // namespace
}  // namespace bytrove
