// Micro benchmarks of the set matcher over real binary data: the shared libraries of this
// machine, concatenated (BYTROVE_BENCH_CORPUS_MIB, 128 MiB by default), searched in 1 MiB blocks
// with the carried tail in front, as the scanner searches them. Three sets: the shipped file
// signatures, and 100 and 10,000 random 8-byte patterns whose bytes are drawn from the corpus
// itself (so they are realistic and mostly absent). Every filter must find the same hits; each
// run checks its count and a hash of the hits against the first filter's.
//
//   build/bench/bench/bytrove_set_bench --benchmark_filter='set/random100'
#include <benchmark/benchmark.h>
#include <glob.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "pattern/pattern_set.h"
#include "scan/set_matcher.h"

namespace bytrove {
namespace {

constexpr std::size_t k_block = std::size_t{1} << 20;

}  // namespace

const std::vector<std::uint8_t>& corpus() {
  static const std::vector<std::uint8_t> data = [] {
    const char* mib = std::getenv("BYTROVE_BENCH_CORPUS_MIB");
    const std::size_t want = (mib != nullptr ? std::strtoul(mib, nullptr, 10) : 128) << 20;
    std::vector<std::uint8_t> bytes;
    glob_t found{};
    if (::glob("/usr/lib/x86_64-linux-gnu/*.so*", 0, nullptr, &found) == 0) {
      for (std::size_t i = 0; i < found.gl_pathc && bytes.size() < want; ++i) {
        std::ifstream file(found.gl_pathv[i], std::ios::binary);
        std::vector<char> content((std::istreambuf_iterator<char>(file)), {});
        bytes.insert(bytes.end(), content.begin(), content.end());
      }
    }
    ::globfree(&found);
    if (bytes.size() > want) bytes.resize(want);
    bytes.resize(bytes.size() + 64, 0);  // the readable slack after the last block
    return bytes;
  }();
  return data;
}

namespace {

std::size_t corpus_size() { return corpus().size() - 64; }

// Each byte drawn from the corpus at random. A pattern of one repeated byte (00 x 8 comes up
// about once in 5,000) is drawn again: it matches at almost every place of every fill run, and
// the benchmark would measure the output instead of the search.
std::string random_patterns(std::size_t count) {
  const std::vector<std::uint8_t>& data = corpus();
  std::uint64_t state = 20261209;
  auto next = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 33;
  };
  std::string text;
  static constexpr char k_hex[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < count; ++i) {
    std::uint8_t bytes[8];
    bool one_value = true;
    for (std::uint8_t& byte : bytes) {
      byte = data[next() % corpus_size()];
      one_value = one_value && byte == bytes[0];
    }
    if (one_value) {
      --i;
      continue;
    }
    for (const std::uint8_t byte : bytes) {
      text += k_hex[byte >> 4];
      text += k_hex[byte & 15];
      text += ' ';
    }
    text += '\n';
  }
  return text;
}

std::string signatures() {
  std::ifstream file(BYTROVE_SOURCE_DIR "/samples/signatures.set");
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

struct set_shape {
  const char* name;
  std::string (*text)();
  bool ignore_case;
};

const set_shape k_shapes[] = {
    {"signatures", signatures, false},
    {"signatures_nocase", signatures, true},
    {"random100", [] { return random_patterns(100); }, false},
    {"random10000", [] { return random_patterns(10000); }, false},
};

const pattern_set& set_for(const set_shape& shape) {
  static std::map<const set_shape*, std::unique_ptr<pattern_set>> cache;
  auto& slot = cache[&shape];
  if (!slot) {
    slot = std::make_unique<pattern_set>();
    if (!parse_pattern_set(shape.text(), shape.name, shape.ignore_case, *slot).ok()) std::abort();
  }
  return *slot;
}

struct outcome {
  std::size_t count = 0;
  std::uint64_t hash = 0;
  bool operator==(const outcome&) const = default;
};

// The corpus in 1 MiB blocks, each with the previous block's last max_m - 1 bytes in front.
outcome search_corpus(const set_matcher& matcher, std::size_t keep, std::uint32_t* starts,
                      std::uint32_t* members, std::size_t capacity) {
  const std::uint8_t* data = corpus().data();
  outcome out;
  set_matcher::work_buffers work;
  for (std::size_t pos = 0; pos < corpus_size(); pos += k_block) {
    const std::size_t carried = pos == 0 ? 0 : keep;
    const std::uint8_t* buf = data + pos - carried;
    const std::size_t len = std::min(k_block, corpus_size() - pos) + carried;
    for (std::size_t from = 0; from < len;) {
      const auto r = matcher.search(buf, len, from, carried, starts, members, capacity, work);
      for (std::size_t k = 0; k < r.count; ++k) {
        out.hash = out.hash * 0x100000001B3ULL + (pos - carried + starts[k]) * 131 + members[k];
      }
      out.count += r.count;
      from = r.next;
    }
  }
  return out;
}

void bm_set(benchmark::State& state, const set_shape& shape, set_filter_kind kind) {
  const pattern_set& set = set_for(shape);
  static std::map<const set_shape*, outcome> expected;
  const set_matcher matcher(set, kind);
  const std::size_t capacity = std::size_t{1} << 16;
  std::vector<std::uint32_t> starts(capacity);
  std::vector<std::uint32_t> members(capacity);
  const std::size_t keep = static_cast<std::size_t>(set.max_length) - 1;
  outcome found;
  for (auto _ : state) {
    found = search_corpus(matcher, keep, starts.data(), members.data(), capacity);
    benchmark::DoNotOptimize(found);
  }
  const auto [it, first] = expected.emplace(&shape, found);
  if (!first && !(it->second == found)) state.SkipWithError("hits differ from the first filter's");
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(corpus_size()));
  state.counters["hits"] = static_cast<double>(found.count);
  state.counters["groups"] = matcher.bucket_groups();
}

// Loading a set file: parsing, one plan per member, and the matcher's tables.
void bm_load(benchmark::State& state, const set_shape& shape) {
  const std::string text = shape.text();
  for (auto _ : state) {
    pattern_set set;
    if (!parse_pattern_set(text, shape.name, shape.ignore_case, set).ok()) std::abort();
    const set_matcher matcher(set);
    benchmark::DoNotOptimize(&matcher);
  }
}

void register_benchmarks() {
  const std::pair<const char*, set_filter_kind> kinds[] = {{"auto", set_filter_kind::automatic},
                                                           {"hashed", set_filter_kind::hashed},
                                                           {"ssse3", set_filter_kind::ssse3},
                                                           {"avx2", set_filter_kind::avx2},
                                                           {"avx512", set_filter_kind::avx512}};
  for (const set_shape& shape : k_shapes) {
    for (const auto& [kind_name, kind] : kinds) {
      const std::string name = std::string("set/") + shape.name + "/" + kind_name;
      benchmark::RegisterBenchmark(name.c_str(), bm_set, std::cref(shape), kind)
          ->Unit(benchmark::kMillisecond);
    }
    const std::string name = std::string("load/") + shape.name;
    benchmark::RegisterBenchmark(name.c_str(), bm_load, std::cref(shape))
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace
}  // namespace bytrove

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  bytrove::corpus();  // read before the first measurement
  bytrove::register_benchmarks();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
