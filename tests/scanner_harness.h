#pragma once

// What the scanner's differential tests share: patterns built from their text, inputs fed
// through real file descriptors (memory files, pipes written from another thread), the report
// text worked out with the naive matcher and compared line by line, generated patterns and data
// with occurrences planted where the scanner is most likely to go wrong, the analysts' options
// drawn at random, and whole in-process runs at a chosen thread count and chunk size.
// Included by scanner_stream_test.cpp, scanner_output_test.cpp, parallel_search_test.cpp and
// analyst_options_test.cpp.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/output.h"
#include "naive_matcher.h"
#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"
#include "scan/read_plan.h"
#include "scan/single_matchers.h"
#include "search/scanner.h"
#include "test_support.h"

namespace bytrove {
namespace scan_harness {

// The scanner's read block: occurrences across its boundaries need the carried tail.
inline constexpr std::size_t k_block = k_block_size;
// Inputs sized around multiples of 0xC000 are generated too: a block size that small is a
// likely regression, and such sizes end in the middle of our blocks.
inline constexpr std::size_t k_small_block = 49152;

// Every matcher gives the same results; each is checked. A kind the CPU lacks falls back to
// another, which is then simply checked twice.
inline constexpr matcher_kind k_kinds[] = {matcher_kind::automatic, matcher_kind::horspool,
                                           matcher_kind::sse2, matcher_kind::avx2,
                                           matcher_kind::avx512};

inline const char* kind_name(matcher_kind kind) {
  switch (kind) {
    case matcher_kind::automatic:
      return "automatic";
    case matcher_kind::horspool:
      return "horspool";
    case matcher_kind::sse2:
      return "sse2";
    case matcher_kind::avx2:
      return "avx2";
    case matcher_kind::avx512:
      return "avx512";
  }
  return "?";
}

// ---------------------------------------------------------------------------------------------
// Patterns

struct built_pattern {
  std::string text;
  bool ignore_case = false;
  compiled_pattern pattern;
  search_plan plan;
};

inline std::unique_ptr<built_pattern> build(std::string text, bool ignore_case) {
  auto built = std::make_unique<built_pattern>();
  built->text = std::move(text);
  built->ignore_case = ignore_case;
  const status parsed = parse_pattern(built->text, ignore_case, built->pattern);
  if (!parsed.ok()) {
    ADD_FAILURE() << "pattern did not compile: " << built->text << " -> " << parsed.message();
    return nullptr;
  }
  built->plan = build_search_plan(built->pattern, ignore_case);
  return built;
}

// ---------------------------------------------------------------------------------------------
// Inputs

inline bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// An in-memory file holding `data`, positioned at its start.
inline unique_fd memory_file(std::string_view data) {
  unique_fd fd(::memfd_create("scan_input", MFD_CLOEXEC));
  EXPECT_GE(fd.get(), 0);
  EXPECT_TRUE(write_all(fd.get(), data));
  EXPECT_EQ(::lseek(fd.get(), 0, SEEK_SET), 0);
  return fd;
}

struct scan_result {
  std::string out;
  std::string err;
  run_counters counters;
};

inline void scan_into(const built_pattern& bp, int fd, std::string_view name, bool verbose,
                      scan_result& result, matcher_kind kind = matcher_kind::automatic) {
  output out(&result.out);
  output err(&result.err);
  scanner scan(bp.pattern, bp.plan, out, err, kind);
  scan.scan_stream(name, fd, verbose);
  out.flush();
  err.flush();
  result.counters = scan.counters();
}

inline scan_result scan_file(const built_pattern& bp, std::string_view data,
                             std::string_view name = "input.bin", bool verbose = false,
                             matcher_kind kind = matcher_kind::automatic) {
  scan_result result;
  const unique_fd fd = memory_file(data);
  scan_into(bp, fd.get(), name, verbose, result, kind);
  return result;
}

inline std::thread feed_pipe(int write_fd, std::string_view data,
                             const std::vector<std::size_t>& chunks, std::size_t pause_every);

// Feeds `data` through a pipe from another thread in chunks of the given sizes (cycled), with
// a short pause every `pause_every` chunks, so the scanner sees many short reads.
inline scan_result scan_pipe(const built_pattern& bp, std::string_view data,
                             const std::vector<std::size_t>& chunks, std::size_t pause_every,
                             matcher_kind kind = matcher_kind::automatic) {
  int ends[2];
  EXPECT_EQ(::pipe(ends), 0);
  unique_fd read_end(ends[0]);
  std::thread writer = feed_pipe(ends[1], data, chunks, pause_every);
  scan_result result;
  scan_into(bp, read_end.get(), "StdIn", false, result, kind);
  read_end.reset();
  writer.join();
  return result;
}

// Writes `data` to the pipe `write_fd` from another thread in chunks of the given sizes
// (cycled), with a short pause every `pause_every` chunks, then closes it.
inline std::thread feed_pipe(int write_fd, std::string_view data,
                             const std::vector<std::size_t>& chunks, std::size_t pause_every) {
  return std::thread([write_fd, data, chunks, pause_every] {
    // If the scanner stopped reading early, the write must fail rather than kill the run.
    sigset_t block_pipe;
    sigemptyset(&block_pipe);
    sigaddset(&block_pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block_pipe, nullptr);
    std::string_view rest = data;
    std::size_t index = 0;
    while (!rest.empty()) {
      const std::size_t take = std::min(rest.size(), chunks[index % chunks.size()]);
      if (!write_all(write_fd, rest.substr(0, take))) break;
      rest.remove_prefix(take);
      ++index;
      if (pause_every != 0 && index % pause_every == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    ::close(write_fd);
  });
}

// ---------------------------------------------------------------------------------------------
// Report lines

// The report line as the C library formats it; the scanner must produce exactly this.
inline std::string expected_line(std::uint64_t offset, std::string_view name) {
  char label[32];
  std::snprintf(label, sizeof label, "(%" PRIu64, offset);
  char line[128];
  std::snprintf(line, sizeof line, "offset 0x%08" PRIX64 "%11s) in ", offset, label);
  return std::string(line) + std::string(name) + "\n";
}

inline std::string expected_report(const std::vector<std::uint64_t>& offsets,
                                   std::string_view name) {
  std::string text;
  for (const std::uint64_t offset : offsets) text += expected_line(offset, name);
  return text;
}

// Reads the offsets back out of the report lines; a line that is not well formed, or whose
// hex and decimal fields disagree, fails the test.
inline std::vector<std::uint64_t> parse_offsets(std::string_view out, std::string_view name) {
  std::vector<std::uint64_t> offsets;
  while (!out.empty()) {
    const std::size_t newline = out.find('\n');
    if (newline == std::string_view::npos) {
      ADD_FAILURE() << "unterminated report line: " << out;
      break;
    }
    const std::string line(out.substr(0, newline));
    out.remove_prefix(newline + 1);
    std::uint64_t hex = 0;
    std::uint64_t dec = 0;
    int name_at = -1;
    if (std::sscanf(line.c_str(), "offset 0x%" SCNx64 " (%" SCNu64 ") in %n", &hex, &dec,
                    &name_at) != 2 ||
        name_at < 0 || std::string_view(line).substr(static_cast<std::size_t>(name_at)) != name ||
        hex != dec) {
      ADD_FAILURE() << "malformed report line: " << line;
      continue;
    }
    offsets.push_back(dec);
  }
  return offsets;
}

inline std::string first_difference(const std::vector<std::uint64_t>& got,
                                    const std::vector<std::uint64_t>& want) {
  std::size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  std::string text = "scanner found " + std::to_string(got.size()) + ", naive found " +
                     std::to_string(want.size()) + "; first difference at index " +
                     std::to_string(i) + ":";
  text += i < got.size() ? " scanner " + std::to_string(got[i]) : " scanner (none)";
  text += i < want.size() ? ", naive " + std::to_string(want[i]) : ", naive (none)";
  return text;
}

// What a correct scan of one input prints and counts, worked out with the naive matcher.
struct expected_scan {
  std::vector<std::uint64_t> offsets;
  std::string report;
  std::uint64_t bytes = 0;
};

inline expected_scan expect_naive(const built_pattern& bp, std::string_view data,
                                  std::string_view name) {
  expected_scan want;
  want.offsets = naive_find_all(bp.pattern, data);
  want.report = expected_report(want.offsets, name);
  want.bytes = data.size();
  return want;
}

// Compares one scan with what is expected: exact report text, no error, counters.
inline void expect_scan(const expected_scan& want, const scan_result& got, std::string_view name) {
  if (got.out != want.report) {
    const std::vector<std::uint64_t> found = parse_offsets(got.out, name);
    if (found != want.offsets) {
      ADD_FAILURE() << first_difference(found, want.offsets);
    } else {
      ADD_FAILURE() << "same offsets, but the report text differs";
    }
  }
  EXPECT_EQ(got.err, "");
  EXPECT_EQ(got.counters.files_searched, 1u);
  EXPECT_EQ(got.counters.bytes_searched, want.bytes);
  EXPECT_EQ(got.counters.occurrences, want.offsets.size());
}

// Scans `data` as a file with every matcher and compares each with the naive matcher.
inline void check_file(const built_pattern& bp, std::string_view data) {
  const expected_scan want = expect_naive(bp, data, "input.bin");
  const unique_fd fd = memory_file(data);
  for (const matcher_kind kind : k_kinds) {
    SCOPED_TRACE(kind_name(kind));
    ASSERT_EQ(::lseek(fd.get(), 0, SEEK_SET), 0);
    scan_result got;
    scan_into(bp, fd.get(), "input.bin", false, got, kind);
    expect_scan(want, got, "input.bin");
  }
}

// ---------------------------------------------------------------------------------------------
// Generated patterns and data

using rng_type = std::mt19937_64;

inline std::size_t pick(rng_type& rng, std::size_t lo, std::size_t hi) {
  return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
}
inline bool chance(rng_type& rng, double p) { return std::bernoulli_distribution(p)(rng); }

// Byte sources: the data and the pattern draw from the same one, so accidental matches and
// near misses are common and the verification order and shifts get exercised.
enum class alphabet { full, small, letters };

inline std::uint8_t draw_byte(rng_type& rng, alphabet kind) {
  static constexpr std::uint8_t k_small[] = {0x00, 0x41, 0x42, 0x61, 0x62, 0xFF};
  static constexpr char k_letters[] = "abcABCxyzXYZ";
  // Plain modulo: its slight bias does not matter here, and it is much faster than a
  // distribution object per byte on inputs of a megabyte.
  const std::uint64_t r = rng();
  switch (kind) {
    case alphabet::full:
      return static_cast<std::uint8_t>(r & 0xFF);
    case alphabet::small:
      return k_small[r % sizeof k_small];
    case alphabet::letters:
      return static_cast<std::uint8_t>(k_letters[r % (sizeof k_letters - 1)]);
  }
  return 0;
}

enum class element { hex, text, wildcard };

// Writes a pattern argument with exactly `m` positions. `wild` is the chance of a wildcard at
// a position before the last (always one at the first with `leading_wildcard`, when m > 1);
// `text_share` the chance that a concrete position is written as a string character rather
// than a hex pair.
inline std::string random_pattern_text(rng_type& rng, std::size_t m, double wild, double text_share,
                                       alphabet kind, bool leading_wildcard = false) {
  std::string text;
  char open_quote = 0;  // the quote of the string being written, 0 when none is open
  auto close_string = [&] {
    if (open_quote != 0) text += open_quote;
    open_quote = 0;
  };
  for (std::size_t k = 0; k < m; ++k) {
    element e = element::hex;
    if (k + 1 < m && ((k == 0 && leading_wildcard) || chance(rng, wild))) {
      e = element::wildcard;
    } else if (chance(rng, text_share)) {
      e = element::text;
    }
    std::uint8_t byte = draw_byte(rng, kind);
    if (e == element::text && byte == 0) byte = 'q';  // a NUL would end the argument
    if (e != element::text) {
      close_string();
      if (chance(rng, 0.5)) text += ' ';
      if (e == element::wildcard) {
        text += '?';
      } else {
        static constexpr char k_digits[] = "0123456789ABCDEFabcdef";
        const int hi = byte >> 4;
        const int lo = byte & 0xF;
        // Hex digits of either case.
        auto digit = [&](int v) {
          return v >= 10 && chance(rng, 0.5) ? k_digits[v + 6] : k_digits[v];
        };
        text += digit(hi);
        text += digit(lo);
      }
      continue;
    }
    const char ch = static_cast<char>(byte);
    if (open_quote == ch) close_string();
    if (open_quote == 0) {
      open_quote = ch == '\'' ? '"' : '\'';
      text += open_quote;
    }
    text += ch;
  }
  // A string still open at the end of the argument counts as closed; leave some open.
  if (chance(rng, 0.5)) close_string();
  return text;
}

// Writes one occurrence of the pattern at `at`: concrete bytes (a folded letter in a random
// case), wildcard positions keep whatever the data holds there.
inline void plant(rng_type& rng, const compiled_pattern& pattern, std::string& data,
                  std::size_t at) {
  const auto m = static_cast<std::size_t>(pattern.length);
  if (at + m > data.size()) return;
  for (std::size_t k = 0; k < m; ++k) {
    const int value = pattern.value[k];
    if (value == k_wildcard) continue;
    int byte = value;
    if (pattern.fold[k] != 0 && chance(rng, 0.5)) byte &= 0xDF;
    data[at + k] = static_cast<char>(byte);
  }
}

inline std::size_t random_length(rng_type& rng) {
  switch (pick(rng, 0, 5)) {
    case 0:
      return pick(rng, 1, 4);
    case 1:
      return pick(rng, 5, 16);
    case 2:
      return pick(rng, 17, 64);
    case 3:
      return pick(rng, 65, 255);
    case 4:
      return 256;
    default:
      return pick(rng, 1, 256);
  }
}

// Input sizes at and around the block boundaries, plus a few arbitrary ones.
inline std::size_t random_size(rng_type& rng, std::size_t m) {
  static constexpr std::size_t k_sizes[] = {
      0,
      1,
      k_small_block - 1,
      k_small_block,
      k_small_block + 1,
      2 * k_small_block - 2,
      2 * k_small_block + 2,
      3 * k_small_block,
      k_block - 1,
      k_block,
      k_block + 1,
      2 * k_block - 3,
      2 * k_block - 1,
      2 * k_block,
      2 * k_block + 1,
      2 * k_block + 3,
      3 * k_block,
      3 * k_block + 17,
  };
  switch (pick(rng, 0, 5)) {
    case 0:
      return m - 1 + pick(rng, 0, 2);  // just shorter than, equal to, just longer than m
    case 1:
      return pick(rng, 0, 2 * k_block + 500);
    default:
      return k_sizes[pick(rng, 0, std::size(k_sizes) - 1)];
  }
}

// Random data with occurrences planted where the scanner is most likely to go wrong: across
// each block boundary, within the carried tail, ending at a block's last byte and at the end
// of the input, and a few overlapping ones.
inline std::string random_data(rng_type& rng, const compiled_pattern& pattern, std::size_t size,
                               alphabet kind) {
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>(draw_byte(rng, kind));
  const auto m = static_cast<std::size_t>(pattern.length);
  if (size < m) {
    // Shorter than the pattern: fill with its prefix, the nearest thing to a match.
    for (std::size_t k = 0; k < size; ++k) {
      if (pattern.value[k] != k_wildcard) data[k] = static_cast<char>(pattern.value[k]);
    }
    return data;
  }
  for (std::size_t boundary = k_block; boundary < size + m; boundary += k_block) {
    // Starts from m-1 before the boundary (inside the carried tail) to just after it.
    for (int j = 0; j < 3; ++j) {
      const std::size_t back = pick(rng, 0, m);
      if (back <= boundary) plant(rng, pattern, data, boundary - back);
    }
    if (boundary >= m) plant(rng, pattern, data, boundary - m);  // ends at the block's last byte
  }
  plant(rng, pattern, data, size - m);
  plant(rng, pattern, data, 0);
  const std::size_t more = pick(rng, 0, 8);
  for (std::size_t j = 0; j < more; ++j) {
    const std::size_t at = pick(rng, 0, size - m);
    plant(rng, pattern, data, at);
    if (chance(rng, 0.3)) plant(rng, pattern, data, at + pick(rng, 1, m));  // overlapping
  }
  return data;
}

struct pattern_style {
  const char* name;
  double wild;
  double text_share;
  bool leading_wildcard;
};

inline constexpr pattern_style k_styles[] = {
    {"hex", 0.0, 0.0, false},
    {"string", 0.0, 1.0, false},
    {"inner wildcards", 0.25, 0.3, false},
    {"leading wildcard", 0.1, 0.5, true},
    {"mostly wildcards", 0.7, 0.5, false},
    {"mixed", 0.1, 0.5, false},
};

// ---------------------------------------------------------------------------------------------
// Options for analysts, drawn at random

struct option_case {
  std::string mode;  // "", "--count", "--files-with-matches"
  bool json = false;
  std::uint64_t max_count = 0;
  std::size_t context = 0;
  std::uint64_t start = 0;
  std::uint64_t end = ~std::uint64_t{0};
};

inline option_case random_options(rng_type& rng, std::size_t size, std::size_t m) {
  option_case o;
  const char* const modes[] = {"", "", "", "--count", "--files-with-matches"};
  o.mode = modes[pick(rng, 0, std::size(modes) - 1)];
  o.json = o.mode.empty() && chance(rng, 0.7);
  // A large limit is one whose lines a chunk may not hold: it counts, then is searched again.
  if (chance(rng, 0.4)) o.max_count = chance(rng, 0.3) ? 100000 : pick(rng, 1, 6);
  if (o.json && chance(rng, 0.6)) o.context = chance(rng, 0.1) ? 4096 : pick(rng, 1, 2 * m + 20);
  if (chance(rng, 0.6)) {
    o.start = pick(rng, 0, size);
    if (chance(rng, 0.7)) o.end = pick(rng, o.start, size + 10);
  }
  return o;
}

inline std::vector<std::string> option_args(const option_case& o) {
  std::vector<std::string> args;
  if (!o.mode.empty()) args.push_back(o.mode);
  if (o.json) args.push_back("--json");
  if (o.max_count != 0) args.push_back("--max-count=" + std::to_string(o.max_count));
  if (o.context != 0) args.push_back("--context=" + std::to_string(o.context));
  if (o.start != 0 || o.end != ~std::uint64_t{0}) {
    std::string range = "--range=" + std::to_string(o.start) + ":";
    if (o.end != ~std::uint64_t{0}) range += std::to_string(o.end);
    args.push_back(range);
  }
  return args;
}

// ---------------------------------------------------------------------------------------------
// Parallel search: whole runs, files cut into chunks, checked against one stream

// Chunk sizes that put boundaries everywhere (1, 7), around the pattern length and a page, odd
// sizes, the default (0: one read block) and chunks of several read blocks.
inline std::uint64_t random_chunk(rng_type& rng, std::size_t m) {
  const std::uint64_t odd = 2 * pick(rng, 0, 500) + 1;
  const std::uint64_t choices[] = {1,           7,     std::max<std::size_t>(1, m - 1),
                                   m,           m + 1, 4095 + odd % 5,
                                   65536 + odd, 0,     k_block + 1021 * odd};
  return choices[pick(rng, 0, std::size(choices) - 1)];
}

// File sizes: empty, about the pattern length, at and around chunk multiples, and now and then
// several read blocks.
inline std::size_t random_file_size(rng_type& rng, std::size_t m, std::uint64_t chunk) {
  const std::size_t choices[] = {0,
                                 m - 1 + pick(rng, 0, 2),
                                 std::max(chunk * pick(rng, 1, 3) + pick(rng, 0, 2 * m), m) - m,
                                 pick(rng, 0, 3 * chunk + m),
                                 pick(rng, 0, 70000),
                                 pick(rng, 0, 3 * k_block + 17)};
  return choices[pick(rng, 0, std::size(choices) - 1)];
}

// Each message on standard error is marked with how much of standard output came before it,
// so the order of results and messages (what a terminal shows) is compared too.
struct transcript {
  std::string out;
  std::string err;
  static void mark(void* self) {
    auto& t = *static_cast<transcript*>(self);
    t.err += "@" + std::to_string(t.out.size()) + " ";
  }
};

// Runs the program in-process with `--threads <threads>` and chunks of `chunk` bytes, or, with
// no `threads`, as the test environment asks.
inline run_result run_threads(const std::vector<std::string>& args, const std::string& threads,
                              std::uint64_t chunk, int stdin_fd) {
  std::vector<std::string> argv{"bytrove"};
  if (!threads.empty()) argv.insert(argv.end(), {"--threads", threads});
  argv.insert(argv.end(), args.begin(), args.end());
  transcript t;
  run_result result;
  {
    output out(&t.out);
    output err(&t.err);
    err.set_before_flush(&transcript::mark, &t);
    posix_file_system fs;
    io_context io{out, err, stdin_fd, fs};
    apply_test_environment(io);
    if (!threads.empty()) io.chunk_size = chunk;
    result.code = run(argv, io);
  }
  result.out = std::move(t.out);
  result.err = std::move(t.err);
  return result;
}

inline void expect_same_run(const run_result& got, const run_result& want) {
  EXPECT_EQ(got.code, want.code);
  EXPECT_EQ(got.err, want.err);
  if (got.out == want.out) return;
  // Results can be megabytes: show them from the start of the first line that differs.
  const auto at = static_cast<std::size_t>(
      std::mismatch(got.out.begin(), got.out.end(), want.out.begin(), want.out.end()).first -
      got.out.begin());
  const std::size_t from = at == 0 ? 0 : got.out.rfind('\n', at - 1) + 1;
  ADD_FAILURE() << "standard output differs at byte " << from << " of " << want.out.size()
                << ":\n  got:  " << got.out.substr(from, 160)
                << "\n  want: " << want.out.substr(from, 160);
}

}  // namespace scan_harness
}  // namespace bytrove
