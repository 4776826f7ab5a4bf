// Micro benchmarks of the block search, the plan build and the report line.
//
// Each search benchmark runs one matcher over one block laid out as the scanner lays it out
// (data, the planted copy, the filter's slack) and reports bytes per second. Every run checks
// its match count, and afterwards the offsets themselves, against a naive search done once in
// the setup, so a change that is fast because it is wrong fails loudly instead of looking like
// a win. The 8 MiB block is larger than most L2 caches, so the fastest rates here are bounded
// by memory bandwidth, where the scanner's own blocks arrive from read() already in cache.
//
//   build/bench/bench/bytrove_bench --benchmark_filter='search/zero_run'
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"
#include "report/report_line.h"
#include "scan/adaptive_matcher.h"
#include "scan/matcher.h"
#include "scan/single_matchers.h"

namespace bytrove {
namespace {

constexpr std::size_t k_data_size = std::size_t{8} << 20;
constexpr std::uint64_t k_seed = 20260101;

// splitmix64: a fixed sequence on every platform and standard library, unlike the
// distributions of <random>, so the data (and the expected counts) never change.
class split_mix {
 public:
  explicit split_mix(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  std::uint8_t byte() { return static_cast<std::uint8_t>(next()); }

 private:
  std::uint64_t state_;
};

using byte_vector = std::vector<std::uint8_t>;

void append(byte_vector& out, std::initializer_list<int> bytes) {
  for (const int b : bytes) out.push_back(static_cast<std::uint8_t>(b));
}

// A near jump or call distance: small, so its high bytes are 00 00 or FF FF as in real code.
void append_rel32(byte_vector& out, split_mix& rng) {
  out.push_back(rng.byte());
  out.push_back(rng.byte());
  const int high = rng.below(2) == 0 ? 0x00 : 0xFF;
  append(out, {high, high});
}

void append_instruction(byte_vector& out, split_mix& rng) {
  switch (rng.below(16)) {
    case 0:
      out.push_back(0xE8);
      append_rel32(out, rng);
      break;  // call
    case 1:
      append(out, {0x48, 0x8B, 0x45});
      out.push_back(rng.byte());
      break;  // mov rax, [rbp+d]
    case 2:
      append(out, {0x48, 0x89, 0xC7});
      break;
    case 3:
      append(out, {0x0F, 0x85});
      append_rel32(out, rng);
      break;
    case 4:
      out.push_back(0xC3);
      break;
    case 5:
      append(out, {0x55, 0x48, 0x89, 0xE5});
      break;
    case 6:
      append(out, {0x48, 0x83, 0xEC});
      out.push_back(rng.byte());
      break;
    case 7:
      append(out, {0xFF, 0x15});
      append_rel32(out, rng);
      break;
    case 8:
      out.push_back(0x90);
      break;
    case 9:
      append(out, {0x31, 0xC0});
      break;
    case 10:
      out.push_back(0x74);
      out.push_back(rng.byte());
      break;
    case 11:
      append(out, {0x48, 0x8D, 0x3D});
      append_rel32(out, rng);
      break;
    case 12:
      append(out, {0x41, 0x5C});
      break;
    case 13:
      append(out, {0x66, 0x0F, 0x1F, 0x44, 0x00, 0x00});
      break;
    case 14:  // now and then a store of a fill constant (see the fill_constant shape)
      if (rng.below(4) == 0) append(out, {0xC7, 0x45, 0xF8, 0xAB, 0xAB, 0xAB, 0xAB});
      break;
    default:
      append(out, {0x48, 0x8B, 0x05});
      append_rel32(out, rng);
      break;
  }
}

void append_text(byte_vector& out, split_mix& rng, std::size_t length) {
  static constexpr std::string_view k_words[] = {
      "the",    "of",      "file",           "error",       "Error",
      "ERROR",  "errno",   "warning",        "failed",      "to",
      "open",   "read",    "write",          "GLIBC_2.2.5", "__stack_chk_fail",
      "memcpy", "strlen",  "libc.so.6",      "version",     "%s: %d",
      "usage",  "invalid", "__cxa_finalize", "terror",      "mirror"};
  static constexpr char k_separators[] = {' ', ' ', ' ', ' ', '\n', '\0', '.', ','};
  const std::size_t stop = out.size() + length;
  while (out.size() < stop) {
    const std::string_view word = k_words[rng.below(std::size(k_words))];
    out.insert(out.end(), word.begin(), word.end());
    out.push_back(static_cast<std::uint8_t>(k_separators[rng.below(sizeof k_separators)]));
  }
}

// Bytes that look like a binary file: runs of a fill byte (zeros in executables, a debug fill
// in memory dumps), x86-64 code, ASCII strings, high-entropy tables and now and then an ELF
// header.
byte_vector binary_like(std::size_t size, std::uint8_t fill, std::uint64_t seed) {
  split_mix rng(seed);
  byte_vector out;
  out.reserve(size + 8192);
  while (out.size() < size) {
    const std::size_t kind = rng.below(100);
    if (kind < 30) {
      out.insert(out.end(), 8 + rng.below(2048), fill);
    } else if (kind < 65) {
      const std::size_t stop = out.size() + 64 + rng.below(2048);
      while (out.size() < stop) append_instruction(out, rng);
    } else if (kind < 85) {
      append_text(out, rng, 32 + rng.below(1024));
    } else {
      for (std::size_t n = 16 + rng.below(1024); n > 0; --n) out.push_back(rng.byte());
    }
    if (rng.below(64) == 0) {
      append(out, {0x7F, 0x45, 0x4C, 0x46, 0x02, 0x01, 0x01, 0x00});
      out.insert(out.end(), 8, 0x00);
      append(out, {0x03, 0x00, 0x3E, 0x00, 0x01, 0x00, 0x00, 0x00});
    }
  }
  out.resize(size);
  return out;
}

// `pattern` written into `data` every `stride` bytes from `first`.
void plant_every(byte_vector& data, std::string_view pattern, std::size_t first,
                 std::size_t stride) {
  for (std::size_t p = first; p + pattern.size() <= data.size(); p += stride) {
    std::memcpy(data.data() + p, pattern.data(), pattern.size());
  }
}

// The block as the scanner lays it out: data, room for the planted copy of the longest
// pattern, then the filter's slack, and nothing more readable, so a sanitizer build catches a
// matcher that reads past its contract.
class block_buffer {
 public:
  explicit block_buffer(const byte_vector& data)
      : size_(data.size()),
        storage_(std::make_unique<std::uint8_t[]>(size_ + k_max_positions + k_search_slack)) {
    std::memcpy(storage_.get(), data.data(), size_);
  }
  const std::uint8_t* data() const { return storage_.get(); }
  std::size_t size() const { return size_; }
  void plant(const compiled_pattern& pattern, const search_plan& plan) {
    plant_pattern_copy(storage_.get(), size_, pattern, plan);
  }

 private:
  std::size_t size_;
  std::unique_ptr<std::uint8_t[]> storage_;
};

block_buffer& synthetic_buffer() {
  static block_buffer buffer(binary_like(k_data_size, 0x00, k_seed));
  return buffer;
}

// The same kind of data with its fill runs made of 0xAB, a byte the frequency table rates as
// one of the rarest.
block_buffer& fill_ab_buffer() {
  static block_buffer buffer(binary_like(k_data_size, 0xAB, k_seed + 1));
  return buffer;
}

block_buffer& zero_run_buffer() {
  static block_buffer buffer([] {
    byte_vector data(k_data_size, 0x00);
    std::string pattern(30, '\0');
    pattern += std::string_view("\x01\x00", 2);
    plant_every(data, pattern, 12345, std::size_t{1} << 20);
    return data;
  }());
  return buffer;
}

block_buffer& periodic_buffer() {
  static block_buffer buffer([] {
    byte_vector data(k_data_size);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>('a' + i % 3);
    plant_every(data, "abcabd", 3 * 1000, 3 * 87382);  // in phase with the period
    return data;
  }());
  return buffer;
}

// 00 00 ... 01 00, 32 bytes: the pattern planted in zero_run_buffer.
std::string zero_run_pattern() {
  std::string text;
  for (int i = 0; i < 30; ++i) text += "00 ";
  return text + "01 00";
}

std::string hex_text(const std::uint8_t* bytes, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    char pair[4];
    std::snprintf(pair, sizeof pair, "%02X ", static_cast<unsigned>(bytes[i]));
    text += pair;
  }
  return text;
}

// A `length`-byte slice of the synthetic data from about `near` on, skipping fill runs: a
// pattern lifted from a real file, present at least once.
std::string slice_pattern(std::size_t near, std::size_t length) {
  const block_buffer& buffer = synthetic_buffer();
  for (std::size_t p = near; p + length <= buffer.size(); p += 64) {
    bool seen[256] = {};
    int distinct = 0;
    for (std::size_t i = 0; i < length; ++i) {
      if (!seen[buffer.data()[p + i]]) ++distinct;
      seen[buffer.data()[p + i]] = true;
    }
    if (distinct >= 24) return hex_text(buffer.data() + p, length);
  }
  return {};
}

// The byte value that occurs least often (but at least once) in the synthetic data.
std::string rarest_present_byte() {
  const block_buffer& buffer = synthetic_buffer();
  std::size_t counts[256] = {};
  for (std::size_t i = 0; i < buffer.size(); ++i) ++counts[buffer.data()[i]];
  std::size_t best = 0;
  for (std::size_t b = 1; b < 256; ++b) {
    if (counts[b] != 0 && (counts[best] == 0 || counts[b] < counts[best])) best = b;
  }
  const auto byte = static_cast<std::uint8_t>(best);
  return hex_text(&byte, 1);
}

// Occurrence count and a hash of the ascending offsets.
struct search_outcome {
  std::size_t count = 0;
  std::uint64_t offsets_hash = 0;
  void add(std::size_t offset) {
    ++count;
    offsets_hash = offsets_hash * 0x100000001B3ULL + offset + 1;
  }
};

// Obviously right and slow: every window, every position, ASCII case folding by hand.
search_outcome naive_search(const std::uint8_t* data, std::size_t size,
                            const compiled_pattern& pattern) {
  search_outcome outcome;
  const auto m = static_cast<std::size_t>(pattern.length);
  for (std::size_t p = 0; p + m <= size; ++p) {
    bool match = true;
    for (std::size_t i = 0; i < m && match; ++i) {
      const int want = pattern.value[i];
      if (want == k_wildcard) continue;
      int have = data[p + i];
      if (pattern.fold[i] == 1 && have >= 'A' && have <= 'Z') have += 'a' - 'A';
      match = have == want;
    }
    if (match) outcome.add(p);
  }
  return outcome;
}

struct pattern_shape {
  const char* name;
  std::function<std::string()> pattern_text;
  bool ignore_case;
  block_buffer& (*buffer)();
  bool expect_absent = false;
};

// What a benchmark needs, made on first use so that a filtered run only pays for its shapes.
struct prepared_shape {
  compiled_pattern pattern;
  search_plan plan;
  vector_anchors anchors;
  search_outcome expected;
  std::string error;  // set when the shape cannot be measured
};

const std::vector<pattern_shape>& shapes() {
  static const std::vector<pattern_shape> list = {
      // One rare byte: no skip is possible, so this is the per-byte cost of the filter and of
      // the skip loop's inner step (the memchr case).
      {"rare_byte", rarest_present_byte, false, synthetic_buffer},
      // A short header that is common in some files: few candidates, but short skips.
      {"elf_magic", [] { return std::string("7F 45 4C 46"); }, false, synthetic_buffer},
      // A symbol name: long enough for long skips, anchors in ordinary text.
      {"string16", [] { return std::string("'__stack_chk_fail'"); }, false, synthetic_buffer},
      // A 64-byte block lifted from the data: long skips, verification of many positions.
      {"bytes64", [] { return slice_pattern(k_data_size / 2, 64); }, false, synthetic_buffer},
      // The longest pattern: the most positions to verify and the largest plan.
      {"bytes256", [] { return slice_pattern(k_data_size / 3, 256); }, false, synthetic_buffer},
      // Never present: the pure scan rate, no verification or output at all.
      {"absent4", [] { return std::string("9D 5B F1 3C"); }, false, synthetic_buffer, true},
      // Case folding: masked anchors, and the folded letters are common in text.
      {"error_nocase", [] { return std::string("'error'"); }, true, synthetic_buffer},
      // Wildcards bound every skip to two bytes; E8 and 48 8B are common in code.
      {"call_wildcard", [] { return std::string("E8 ? ? ? ? 48 8B"); }, false, synthetic_buffer},
      // Dense: two bytes in five match, so storing offsets dominates.
      {"zero_byte", [] { return std::string("00"); }, false, synthetic_buffer},
      // Dense and overlapping: every zero run of length r yields r-1 occurrences.
      {"zero_pair", [] { return std::string("00 00"); }, false, synthetic_buffer},
      // Adversarial for the skip loop: the last byte can stand at the end of every window, so
      // the loop never skips by the byte table and every window it reaches is verified.
      {"zero_run", zero_run_pattern, false, zero_run_buffer},
      // Adversarial for the filter: periodic data where both anchors match every third
      // position and verification fails on the last byte.
      {"periodic", [] { return std::string("'abcabd'"); }, false, periodic_buffer},
      // The frequency table is wrong for this data: the rarest byte by the table (AB) fills a
      // third of the input, so both anchors pass every window in those runs to verification.
      {"fill_constant", [] { return std::string("C7 45 F8 AB AB AB AB"); }, false, fill_ab_buffer},
  };
  return list;
}

prepared_shape& prepare(const pattern_shape& shape) {
  static std::vector<std::optional<prepared_shape>> cache(shapes().size());
  std::optional<prepared_shape>& slot = cache[static_cast<std::size_t>(&shape - shapes().data())];
  if (slot) return *slot;
  slot.emplace();
  prepared_shape& prepared = *slot;
  const std::string text = shape.pattern_text();
  if (!parse_pattern(text, shape.ignore_case, prepared.pattern).ok()) {
    prepared.error = "pattern does not compile: " + text;
    return prepared;
  }
  prepared.plan = build_search_plan(prepared.pattern, shape.ignore_case);
  prepared.anchors = choose_anchors(prepared.pattern);
  const block_buffer& buffer = shape.buffer();
  prepared.expected = naive_search(buffer.data(), buffer.size(), prepared.pattern);
  if (shape.expect_absent && prepared.expected.count != 0) {
    prepared.error = "the data holds the pattern meant to be absent: " + text;
  } else if (!shape.expect_absent && prepared.expected.count == 0) {
    prepared.error = "the data lacks the pattern: " + text;
  }
  return prepared;
}

void bm_search(benchmark::State& state, const pattern_shape& shape, matcher_kind kind) {
  const prepared_shape& prepared = prepare(shape);
  if (!prepared.error.empty()) {
    state.SkipWithError(prepared.error.c_str());
    return;
  }
  // The buffer is shared between shapes; the copy after its end is this pattern's.
  block_buffer& buffer = shape.buffer();
  buffer.plant(prepared.pattern, prepared.plan);
  // "auto" keeps one adaptive matcher across iterations, as the scanner keeps one across the
  // blocks of a run: each iteration stands for one more block of the same kind of data.
  adaptive_matcher search(kind == matcher_kind::horspool ? nullptr : select_block_search(kind),
                          kind == matcher_kind::automatic);
  const block_job job{buffer.data(), buffer.size(), &prepared.pattern, &prepared.plan,
                      prepared.anchors};
  std::vector<std::uint32_t> positions(buffer.size());
  block_result result;
  for (auto _ : state) {
    result = search.search(job, positions.data());
    benchmark::DoNotOptimize(result);
    benchmark::ClobberMemory();
    if (result.matches != prepared.expected.count) {
      const std::string message = "found " + std::to_string(result.matches) + ", expected " +
                                  std::to_string(prepared.expected.count);
      state.SkipWithError(message.c_str());
      break;
    }
  }
  if (state.error_occurred()) return;
  search_outcome found;
  for (std::size_t i = 0; i < result.matches; ++i) found.add(positions[i]);
  if (found.offsets_hash != prepared.expected.offsets_hash) {
    state.SkipWithError("right count, wrong offsets");
    return;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(buffer.size()));
  state.counters["matches"] = static_cast<double>(result.matches);
  state.counters["candidates"] = static_cast<double>(result.candidates);
}

// The plan is built once per run, before any byte is read; it must stay negligible next to
// the start-up of the process.
void bm_plan(benchmark::State& state, const pattern_shape& shape) {
  const prepared_shape& prepared = prepare(shape);
  if (!prepared.error.empty()) {
    state.SkipWithError(prepared.error.c_str());
    return;
  }
  for (auto _ : state) {
    search_plan plan = build_search_plan(prepared.pattern, shape.ignore_case);
    vector_anchors anchors = choose_anchors(prepared.pattern);
    benchmark::DoNotOptimize(plan);
    benchmark::DoNotOptimize(anchors);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// Dense patterns print hundreds of millions of lines, so formatting one is on the hot path.
// The lines are checked against printf first; the loop then writes them into a buffer the
// size of the output buffer, as the scanner does.
void bm_report_line(benchmark::State& state, std::uint64_t first_offset) {
  const std::string name = "usr/lib/x86_64-linux-gnu/libstdc++.so.6.0.30";
  const report_line_format line(name);
  std::vector<char> out(std::size_t{64} << 10);
  for (const std::uint64_t offset :
       {std::uint64_t{0}, std::uint64_t{9}, std::uint64_t{1234}, std::uint64_t{0xFFFFFFFF},
        std::uint64_t{1} << 32, std::uint64_t{99999999999}, ~std::uint64_t{0}, first_offset}) {
    char decimal[24];
    std::snprintf(decimal, sizeof decimal, "(%llu", static_cast<unsigned long long>(offset));
    std::vector<char> want(k_report_line_fixed_max + name.size() + 1);
    const int length =
        std::snprintf(want.data(), want.size(), "offset 0x%08llX%11s) in %s\n",
                      static_cast<unsigned long long>(offset), decimal, name.c_str());
    const std::size_t got = line.write(out.data(), offset);
    if (length < 0 || got != static_cast<std::size_t>(length) ||
        std::memcmp(out.data(), want.data(), got) != 0) {
      state.SkipWithError("report line differs from printf");
      return;
    }
  }
  std::size_t used = 0;
  std::uint64_t written = 0;
  std::uint64_t offset = first_offset;
  for (auto _ : state) {
    if (out.size() - used < line.max_size()) {
      written += used;
      used = 0;
    }
    used += line.write(out.data() + used, offset);
    offset += 37;  // a few hundred thousand lines cross many digit-count changes
  }
  benchmark::DoNotOptimize(out.data());
  benchmark::ClobberMemory();
  written += used;
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  state.SetBytesProcessed(static_cast<std::int64_t>(written));
}

struct matcher_choice {
  const char* name;
  matcher_kind kind;
};

void register_benchmarks() {
  __builtin_cpu_init();
  std::vector<matcher_choice> matchers = {{"horspool", matcher_kind::horspool},
                                          {"auto", matcher_kind::automatic},
                                          {"sse2", matcher_kind::sse2}};
  // A named filter the CPU lacks would silently measure another one; leave it out instead.
  if (__builtin_cpu_supports("avx2")) matchers.push_back({"avx2", matcher_kind::avx2});
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) {
    matchers.push_back({"avx512", matcher_kind::avx512});
  }
  for (const pattern_shape& shape : shapes()) {
    for (const matcher_choice& matcher : matchers) {
      const std::string name = std::string("search/") + shape.name + "/" + matcher.name;
      benchmark::RegisterBenchmark(name.c_str(), bm_search, std::cref(shape), matcher.kind)
          ->Unit(benchmark::kMicrosecond);
    }
  }
  for (const pattern_shape& shape : shapes()) {
    const std::string name = std::string("plan/") + shape.name;
    benchmark::RegisterBenchmark(name.c_str(), bm_plan, std::cref(shape));
  }
  benchmark::RegisterBenchmark("report_line/below_4gib", bm_report_line, std::uint64_t{1000});
  benchmark::RegisterBenchmark("report_line/above_4gib", bm_report_line, std::uint64_t{5} << 32);
}

}  // namespace
}  // namespace bytrove

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bytrove::register_benchmarks();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
