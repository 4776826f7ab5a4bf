// Micro benchmarks of the brace pattern matcher over one 1 MiB block laid out as the scanner
// lays it out, including its worst case: a jump over a run of zeros, where every byte is an
// anchor hit and every start keeps (spread + 1) offsets alive in the verifier. Reports bytes
// per second; each run checks its hit count against the one found in the setup, so a change
// that is fast because it stopped finding things shows.
//
//   build/bench/bench/bytrove_brace_bench --benchmark_filter=brace_worst
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pattern/extended_pattern.h"
#include "scan/extended_matcher.h"
#include "scan/single_matchers.h"

namespace bytrove {
namespace {

constexpr std::size_t k_block = std::size_t{1} << 20;

std::vector<std::uint8_t> block_of(std::uint8_t fill, bool random) {
  std::vector<std::uint8_t> data(k_block + 1024, fill);
  std::uint64_t x = 20260101;
  for (std::size_t i = 0; random && i < k_block; ++i) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    data[i] = static_cast<std::uint8_t>(x >> 56);
  }
  return data;
}

void run(benchmark::State& state, const char* text, bool zeros) {
  extended_pattern pattern;
  if (!parse_extended_pattern(text, {}, 0, pattern).ok()) {
    state.SkipWithError("pattern");
    return;
  }
  const extended_matcher matcher(pattern, false);
  extended_matcher::state st(matcher_kind::automatic);
  std::vector<std::uint8_t> data = block_of(0, !zeros);
  matcher.search(data.data(), k_block, 0, st);
  const std::size_t expected = st.starts.size();
  for (auto _ : state) {
    matcher.search(data.data(), k_block, 0, st);
    if (st.starts.size() != expected) state.SkipWithError("hit count changed");
    benchmark::DoNotOptimize(st.starts.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(k_block));
  state.counters["hits"] = static_cast<double>(expected);
}

// The worst case: every byte of the block is an anchor hit and each start verifies a range.
void brace_worst(benchmark::State& state) {
  const std::string text = "{ 00 [0-" + std::to_string(state.range(0)) + "] 00 01 }";
  run(state, text.c_str(), true);
}
BENCHMARK(brace_worst)->Arg(16)->Arg(256)->Arg(4096);

// No single byte: every start is verified.
void brace_no_anchor(benchmark::State& state) { run(state, "{ 4? ~00 [0-8] ( 5? | 6? ) }", false); }
BENCHMARK(brace_no_anchor);

// The common case: a rare anchor, a jump and an alternative.
void brace_anchored(benchmark::State& state) {
  run(state, "{ 4D 5A [0-256] 50 45 ( 00 00 | 01 ) }", false);
}
BENCHMARK(brace_anchored);

}  // namespace
}  // namespace bytrove

BENCHMARK_MAIN();
