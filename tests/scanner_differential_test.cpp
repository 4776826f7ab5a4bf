// The stream scanner checked against the naive matcher: generated patterns and data around
// every block boundary, fed through real file descriptors (memory files and pipes). Then the
// whole program on several threads, files cut into chunks, checked against one stream.

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
#include "scan/block_search.h"
#include "scan/read_plan.h"
#include "search/stream_search.h"
#include "test_support.h"

namespace bytrove {
namespace {

// The scanner's read block: occurrences across its boundaries need the carried tail.
constexpr std::size_t k_block = k_block_size;
// Inputs sized around multiples of 0xC000 are generated too: a block size that small is a
// likely regression, and such sizes end in the middle of our blocks.
constexpr std::size_t k_small_block = 49152;

// Every matcher gives the same results; each is checked. A kind the CPU lacks falls back to
// another, which is then simply checked twice.
constexpr matcher_kind k_kinds[] = {matcher_kind::automatic, matcher_kind::horspool,
                                    matcher_kind::sse2, matcher_kind::avx2, matcher_kind::avx512};

const char* kind_name(matcher_kind kind) {
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

std::unique_ptr<built_pattern> build(std::string text, bool ignore_case) {
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

bool write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// An in-memory file holding `data`, positioned at its start.
unique_fd memory_file(std::string_view data) {
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

void scan_into(const built_pattern& bp, int fd, std::string_view name, bool verbose,
               scan_result& result, matcher_kind kind = matcher_kind::automatic) {
  output out(&result.out);
  output err(&result.err);
  stream_search scan(bp.pattern, bp.plan, out, err, kind);
  scan.scan_stream(name, fd, verbose);
  out.flush();
  err.flush();
  result.counters = scan.counters();
}

scan_result scan_file(const built_pattern& bp, std::string_view data,
                      std::string_view name = "input.bin", bool verbose = false,
                      matcher_kind kind = matcher_kind::automatic) {
  scan_result result;
  const unique_fd fd = memory_file(data);
  scan_into(bp, fd.get(), name, verbose, result, kind);
  return result;
}

std::thread feed_pipe(int write_fd, std::string_view data, const std::vector<std::size_t>& chunks,
                      std::size_t pause_every);

// Feeds `data` through a pipe from another thread in chunks of the given sizes (cycled), with
// a short pause every `pause_every` chunks, so the scanner sees many short reads.
scan_result scan_pipe(const built_pattern& bp, std::string_view data,
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
std::thread feed_pipe(int write_fd, std::string_view data, const std::vector<std::size_t>& chunks,
                      std::size_t pause_every) {
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
std::string expected_line(std::uint64_t offset, std::string_view name) {
  char label[32];
  std::snprintf(label, sizeof label, "(%" PRIu64, offset);
  char line[128];
  std::snprintf(line, sizeof line, "offset 0x%08" PRIX64 "%11s) in ", offset, label);
  return std::string(line) + std::string(name) + "\n";
}

std::string expected_report(const std::vector<std::uint64_t>& offsets, std::string_view name) {
  std::string text;
  for (const std::uint64_t offset : offsets) text += expected_line(offset, name);
  return text;
}

// Reads the offsets back out of the report lines; a line that is not well formed, or whose
// hex and decimal fields disagree, fails the test.
std::vector<std::uint64_t> parse_offsets(std::string_view out, std::string_view name) {
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

std::string first_difference(const std::vector<std::uint64_t>& got,
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

expected_scan expect_naive(const built_pattern& bp, std::string_view data, std::string_view name) {
  expected_scan want;
  want.offsets = naive_find_all(bp.pattern, data);
  want.report = expected_report(want.offsets, name);
  want.bytes = data.size();
  return want;
}

// Compares one scan with what is expected: exact report text, no error, counters.
void expect_scan(const expected_scan& want, const scan_result& got, std::string_view name) {
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
void check_file(const built_pattern& bp, std::string_view data) {
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

std::size_t pick(rng_type& rng, std::size_t lo, std::size_t hi) {
  return std::uniform_int_distribution<std::size_t>(lo, hi)(rng);
}
bool chance(rng_type& rng, double p) { return std::bernoulli_distribution(p)(rng); }

// Byte sources: the data and the pattern draw from the same one, so accidental matches and
// near misses are common and the verification order and shifts get exercised.
enum class alphabet { full, small, letters };

std::uint8_t draw_byte(rng_type& rng, alphabet kind) {
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
std::string random_pattern_text(rng_type& rng, std::size_t m, double wild, double text_share,
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
void plant(rng_type& rng, const compiled_pattern& pattern, std::string& data, std::size_t at) {
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

std::size_t random_length(rng_type& rng) {
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
std::size_t random_size(rng_type& rng, std::size_t m) {
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
std::string random_data(rng_type& rng, const compiled_pattern& pattern, std::size_t size,
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

constexpr pattern_style k_styles[] = {
    {"hex", 0.0, 0.0, false},
    {"string", 0.0, 1.0, false},
    {"inner wildcards", 0.25, 0.3, false},
    {"leading wildcard", 0.1, 0.5, true},
    {"mostly wildcards", 0.7, 0.5, false},
    {"mixed", 0.1, 0.5, false},
};

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

// ---------------------------------------------------------------------------------------------
// Output text and counters

TEST(scanner, report_line_text) {
  const auto bp = build("'ab'", false);
  ASSERT_NE(bp, nullptr);
  std::string data(200000, '-');
  data.replace(0, 2, "ab");
  data.replace(1234, 2, "ab");
  data.replace(100000, 2, "ab");
  const scan_result got = scan_file(*bp, data, "dir/sample.bin");
  EXPECT_EQ(got.out,
            "offset 0x00000000         (0) in dir/sample.bin\n"
            "offset 0x000004D2      (1234) in dir/sample.bin\n"
            "offset 0x000186A0    (100000) in dir/sample.bin\n");
}

TEST(scanner, name_longer_than_the_output_buffer) {
  const auto bp = build("'ab'", false);
  ASSERT_NE(bp, nullptr);
  const std::string name = std::string(output::k_capacity + 100, 'd') + "/file.bin";
  const std::string data = "ab--ab" + std::string(k_block, '-') + "ab";
  for (const matcher_kind kind : k_kinds) {
    SCOPED_TRACE(kind_name(kind));
    const scan_result got = scan_file(*bp, data, name, true, kind);
    EXPECT_TRUE(got.out ==
                "Searching " + name + " ...\n" + expected_report({0, 4, k_block + 6}, name));
  }
}

TEST(scanner, verbose_line_precedes_the_report_even_for_empty_input) {
  const auto bp = build("'ab'", false);
  ASSERT_NE(bp, nullptr);
  EXPECT_EQ(scan_file(*bp, "", "empty.bin", true).out, "Searching empty.bin ...\n");
  EXPECT_EQ(scan_file(*bp, "xxab", "sub/x.bin", true).out,
            "Searching sub/x.bin ...\n"
            "offset 0x00000002         (2) in sub/x.bin\n");
  EXPECT_EQ(scan_file(*bp, "xxab", "sub/x.bin", false).out,
            "offset 0x00000002         (2) in sub/x.bin\n");
}

TEST(scanner, counters_add_up_over_several_inputs) {
  const auto bp = build("41 ? 43", false);
  ASSERT_NE(bp, nullptr);
  std::string out;
  std::string err;
  output out_sink(&out);
  output err_sink(&err);
  stream_search scan(bp->pattern, bp->plan, out_sink, err_sink);
  const std::string inputs[] = {"ABCAxC", "", std::string(k_block + 5, 'A') + "ABC", "AC"};
  std::uint64_t bytes = 0;
  std::uint64_t found = 0;
  for (const std::string& data : inputs) {
    const unique_fd fd = memory_file(data);
    scan.scan_stream("f", fd.get(), false);
    bytes += data.size();
    found += naive_find_all(bp->pattern, data).size();
  }
  out_sink.flush();
  EXPECT_EQ(scan.counters().files_searched, 4u);
  EXPECT_EQ(scan.counters().bytes_searched, bytes);
  EXPECT_EQ(scan.counters().occurrences, found);
  EXPECT_EQ(found, 3u);
  EXPECT_EQ(parse_offsets(out, "f").size(), found);
}

TEST(scanner, failed_read_is_reported_and_still_counted) {
  const auto bp = build("41", false);
  ASSERT_NE(bp, nullptr);
  const unique_fd file = memory_file("AAAA");
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", file.get());
  const unique_fd write_only(::open(path, O_WRONLY | O_CLOEXEC));
  ASSERT_GE(write_only.get(), 0);
  scan_result got;
  scan_into(*bp, write_only.get(), "locked.bin", false, got);
  EXPECT_EQ(got.out, "");
  EXPECT_EQ(got.err, "Error reading file locked.bin.\n");
  EXPECT_EQ(got.counters.files_searched, 1u);
  EXPECT_EQ(got.counters.bytes_searched, 0u);
  EXPECT_EQ(got.counters.occurrences, 0u);
}

TEST(scanner, stops_reading_once_standard_output_has_failed) {
  // Every byte matches, so the first block alone overflows the output buffer onto a device
  // that refuses all writes; the rest of the input is not read.
  const auto bp = build("41", false);
  ASSERT_NE(bp, nullptr);
  const unique_fd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_GE(full.get(), 0);
  output out(full.get());
  std::string err_text;
  output err(&err_text);
  stream_search scan(bp->pattern, bp->plan, out, err);
  const std::string data(6 * k_block, 'A');
  const unique_fd fd = memory_file(data);
  scan.scan_stream("big.bin", fd.get(), false);
  EXPECT_TRUE(out.failed());
  EXPECT_LT(scan.counters().bytes_searched, data.size());
  EXPECT_EQ(scan.counters().files_searched, 1u);
}

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

option_case random_options(rng_type& rng, std::size_t size, std::size_t m) {
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

std::vector<std::string> option_args(const option_case& o) {
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
std::uint64_t random_chunk(rng_type& rng, std::size_t m) {
  const std::uint64_t odd = 2 * pick(rng, 0, 500) + 1;
  const std::uint64_t choices[] = {1,           7,     std::max<std::size_t>(1, m - 1),
                                   m,           m + 1, 4095 + odd % 5,
                                   65536 + odd, 0,     k_block + 1021 * odd};
  return choices[pick(rng, 0, std::size(choices) - 1)];
}

// File sizes: empty, about the pattern length, at and around chunk multiples, and now and then
// several read blocks.
std::size_t random_file_size(rng_type& rng, std::size_t m, std::uint64_t chunk) {
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
run_result run_threads(const std::vector<std::string>& args, const std::string& threads,
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

void expect_same_run(const run_result& got, const run_result& want) {
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

TEST(parallel_search, chunked_runs_match_one_stream) {
  // The threads4 run adds the environment's threads and chunks, and checks other cases.
  const unsigned env_threads = test_threads();
  rng_type rng(0x5eed0100 + env_threads);
  const unique_fd no_input = input_file("");
  for (int c = 0; c < 250; ++c) {
    const bool ignore_case = chance(rng, 0.25);
    // Dense: every window of zeros matches, so held output runs to megabytes.
    const bool dense = chance(rng, 0.1);
    const alphabet kind = ignore_case ? alphabet::letters : static_cast<alphabet>(pick(rng, 0, 2));
    const std::size_t m = dense && chance(rng, 0.7) ? pick(rng, 1, 4) : random_length(rng);
    std::string text;
    if (dense) {
      for (std::size_t k = 0; k < m; ++k) text += k + 1 < m && chance(rng, 0.3) ? "? " : "00 ";
    } else {
      const pattern_style& style = k_styles[pick(rng, 0, std::size(k_styles) - 1)];
      text =
          random_pattern_text(rng, m, style.wild, style.text_share, kind, style.leading_wildcard);
    }
    const auto bp = build(text, ignore_case);
    ASSERT_NE(bp, nullptr);
    std::uint64_t chunks[3];
    for (std::uint64_t& chunk : chunks) chunk = random_chunk(rng, m);

    temp_dir tmp;
    const scoped_chdir cd(tmp.path());
    std::vector<std::size_t> sizes(pick(rng, 2, 4));
    std::size_t largest = 0;
    for (std::size_t& size : sizes) {
      const std::uint64_t chunk = chunks[pick(rng, 0, 2)];
      size = random_file_size(rng, m, chunk == 0 ? k_block : chunk);
      if (dense) size %= 70001;
      largest = std::max(largest, size);
    }
    // Up to about a thousand chunks per file keeps a case quick.
    for (std::uint64_t& chunk : chunks) {
      if (chunk != 0 && largest / chunk > 1024) chunk = largest / 1024 | 1;
    }
    std::vector<std::string> items;
    for (const std::size_t size : sizes) {
      std::string data =
          dense ? std::string(size, '\0') : random_data(rng, bp->pattern, size, kind);
      // Occurrences that straddle a chunk boundary, end just before it or start on it.
      for (const std::uint64_t chunk : chunks) {
        const std::uint64_t step = chunk == 0 ? k_block : chunk;
        for (int j = 0; j < 16 && size >= step && !dense; ++j) {
          const std::size_t boundary = step * pick(rng, 1, size / step);
          const std::size_t back = pick(rng, 0, m + 1);
          if (back <= boundary + 1) plant(rng, bp->pattern, data, boundary + 1 - back);
        }
      }
      items.push_back("d/f" + std::to_string(items.size()) + ".bin");
      tmp.write_file(items.back(), data);
    }
    // A dangling link fails to open, a FIFO without a writer is searched as one stream (with
    // -s), a missing argument matches nothing: messages and stream inputs among the chunks.
    ASSERT_EQ(::symlink("nowhere", "d/broken.bin"), 0);
    ASSERT_EQ(::mkfifo("d/pipe", 0644), 0);
    for (const char* extra : {"d/*", "missing.bin", "d/broken.bin", "-s", "-s-", "-v-", "-v+"}) {
      if (chance(rng, 0.3)) items.push_back(extra);
    }
    std::shuffle(items.begin(), items.end(), rng);
    // An unknown switch after the files ends the run with its exit code once they are searched.
    if (chance(rng, 0.1)) items.push_back("-Q");
    std::vector<std::string> args{"-v"};
    if (chance(rng, 0.3)) args = option_args(random_options(rng, largest, m));
    if (ignore_case) args.push_back("-i");
    args.push_back(text);
    args.insert(args.end(), items.begin(), items.end());

    const run_result want = run_threads(args, "1", 0, no_input.get());
    testing::Message what;
    what << "case " << c << ", file sizes";
    for (const std::size_t size : sizes) what << " " << size;
    for (const std::string& arg : args) what << (&arg == &args[0] ? ": bytrove '" : "' '") << arg;
    SCOPED_TRACE(what << "'");
    const unsigned threads[] = {2, 3, 8};
    for (std::size_t r = 0; r < 3; ++r) {
      SCOPED_TRACE(testing::Message() << "--threads " << threads[r] << ", chunks " << chunks[r]);
      expect_same_run(run_threads(args, std::to_string(threads[r]), chunks[r], no_input.get()),
                      want);
    }
    if (env_threads > 1) {
      SCOPED_TRACE("threads and chunks from the environment");
      expect_same_run(run_threads(args, "", 0, no_input.get()), want);
    }
    if (testing::Test::HasFailure()) return;  // one well-described failure is enough
  }
}

// ---------------------------------------------------------------------------------------------
// Sparse files: holes that cannot hold any part of an occurrence are skipped; the output must be
// exactly that of reading every byte, here of a copy with the holes written out as zeros.

TEST(sparse_files, match_a_copy_without_holes) {
  rng_type rng(0x5eed0200 + test_threads());
  const unique_fd no_input = input_file("");
  const char* const patterns[] = {"41 42", "41 00 00", "00 00 ? 43", "? 00 41", "'AB' 00 00 00"};
  for (int c = 0; c < 24; ++c) {
    const std::size_t size = pick(rng, k_block, 5 * k_block);
    std::string data(size, '\0');
    ASSERT_GE(size, k_sparse_min_size);  // smaller files are read whole anyway
    std::vector<std::pair<std::size_t, std::size_t>> segments;  // [start, end) written
    const std::size_t count = c == 0 ? 0 : pick(rng, 1, 6);
    for (std::size_t i = 0; i < count; ++i) {
      // Mostly whole pages (a hole is made of whole pages), at the very start and end now and
      // then. The pattern bytes at the edges make occurrences that straddle a hole boundary.
      std::size_t start = pick(rng, 0, size - 2);
      if (chance(rng, 0.2)) start = chance(rng, 0.5) ? 0 : size - pick(rng, 2, 5000);
      std::size_t end = std::min(size, start + pick(rng, 2, 70000));
      if (chance(rng, 0.8)) {
        start &= ~std::size_t{4095};
        end = std::min(size, (end + 4095) & ~std::size_t{4095});
      }
      for (std::size_t j = start; j < end; ++j) data[j] = "\0ABC"[pick(rng, 0, 3)];
      data.replace(start, 2, "AC");
      data.replace(end - 2, 2, "AB");
      segments.emplace_back(start, end);
    }
    temp_dir tmp;
    const std::string dense = tmp.write_file("dense/f.bin", data);
    const std::string sparse = tmp.path("sparse/f.bin");
    tmp.make_dir("sparse");
    {
      const unique_fd fd(::open(sparse.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
      ASSERT_GE(fd.get(), 0);
      ASSERT_EQ(::ftruncate(fd.get(), static_cast<off_t>(size)), 0);
      for (const auto& [start, end] : segments) {
        ASSERT_EQ(::pwrite(fd.get(), data.data() + start, end - start, static_cast<off_t>(start)),
                  static_cast<ssize_t>(end - start));
      }
    }
    std::vector<std::string> case_patterns(std::begin(patterns), std::end(patterns));
    // A pattern that can match inside zeros: no hole may be skipped (every offset matches).
    if (c < 2) case_patterns.push_back("00 00 00 00 00 00 00 00 ? 00");
    for (const std::string& pattern : case_patterns) {
      const std::vector<std::string> args{"-v", pattern, "f.bin"};
      run_result want;
      {
        const scoped_chdir cd(tmp.path("dense"));
        want = run_threads(args, "1", 0, no_input.get());
      }
      const scoped_chdir cd(tmp.path("sparse"));
      for (const unsigned threads : {1u, 4u}) {
        SCOPED_TRACE("case " + std::to_string(c) + ", pattern " + pattern + ", threads " +
                     std::to_string(threads));
        const std::uint64_t chunk = std::uint64_t{4099} << pick(rng, 0, 9);
        expect_same_run(run_threads(args, std::to_string(threads), chunk, no_input.get()), want);
      }
    }
  }
}


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
std::string reference_results(const searched& what, std::string_view data,
                              const std::string& name, const option_case& o) {
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
      const auto n = std::count_if(all.begin(), all.end(), [&](const auto& f) { return f.second == i; });
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
    const std::size_t size = chance(rng, 0.07) ? pick(rng, k_block, 2 * k_block) : pick(rng, 0, 9000);
    std::string data = random_data(rng, what.patterns[0]->pattern, size, kind);
    const option_case o = random_options(rng, size, m);
    std::vector<std::string> args = option_args(o);
    // A set: members that may be prefixes or suffixes of each other, or repeat, each planted.
    if (chance(rng, 0.4)) {
      std::string set_text = "# a set\n";
      for (std::size_t k = 1 + pick(rng, 1, 6); k > 0; --k) {
        std::string member = text;
        if (chance(rng, 0.3) && m > 1) {
          member = random_pattern_text(rng, pick(rng, 1, m), style.wild, style.text_share, kind, false);
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
        if (!named) what.names.back() = std::to_string(std::count(set_text.begin(), set_text.end(), '\n'));
        const auto mm = static_cast<std::size_t>(what.patterns.back()->pattern.length);
        if (data.size() >= mm) plant(rng, what.patterns.back()->pattern, data, pick(rng, 0, data.size() - mm));
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
