// Fuzzes the stream scanner, every block matcher and the parallel search against a naive search.
//
// Input layout:
//   byte 0   flags: bit 0 ignore-case; bits 1-2 stretch: 0 the data as given, 1 repeated to
//            about one read block, 2 to about three blocks (enough for the automatic matcher
//            to probe and try each of its ways), 3 about one block with back-to-back
//            occurrences across the boundary; bits 3-4 how bytes are written in the pattern
//            text (0 all hex, 1 letters quoted, 2 everything quotable quoted, 3 quoted at even
//            positions); bit 5 feed through a pipe instead of a memfd; bit 6 plant folded
//            letters in alternating case; bit 7 verbose.
//   byte 1   pattern length - 1 (clamped to the bytes present)
//   byte 2   the position byte that means "wildcard" (never at the last position)
//   byte 3   stretched length: block multiple - 256 + 2 * this; and the chunk size of the
//            parallel search
//   byte 4   where occurrences are planted before each block boundary (distance - 1), the
//            pipe writer's chunk size and blocking mode, and the parallel search's threads
//   then     one position byte per pattern position, then the data.
// The pattern is written as pattern text and compiled with parse_pattern, so the whole path
// from argument to report line is covered. The scanner runs once per matcher the CPU has; each
// run's report lines must be exactly the naive search's, its counters must agree and nothing
// may be written on standard error. A memfd input is then searched by the whole program with
// several threads, cut into chunks whose boundaries fall among the occurrences; it must print
// the banner and the same lines.
//
// Compressed-input mode (BYTROVE_FUZZ_COMPRESSED=1 in the environment, same input layout): the
// data is written as gzip, cut into two members at a place the input chooses (byte 4), and
// searched with --decompress, from the memfd and through a pipe; the lines must be the naive
// search's, named "fuzz input{}". Data that itself begins like an archive (a zip header, say)
// is rightly unpacked as one, a .zip.gz, so there only the run's ending normally is checked. Then
// the fuzzer's raw bytes themselves are searched as a packed input with --decompress=2 by the whole
// program: whatever archive or stream they happen to look like, the run must end normally (messages
// allowed, no crash or leak). The gzip is also cut short at a place the input chooses (bytes 3
// and 4): the lines must be those of what zlib decodes before the cut, followed by one message
// when the cut fell inside a member.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/output.h"
#include "cli/run.h"
#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"
#include "scan/single_matchers.h"
#include "search/stream_search.h"
#include "source/packed_input.h"
#include "walk/file_system.h"

namespace bytrove {
namespace {

constexpr std::size_t k_header = 5;
constexpr const char* k_name = "fuzz input";

// The harness's own loops (naive search, data stretching, expected lines) are left out of the
// coverage instrumentation: they cost more than the code under test and their branches are no
// guide to new behaviour of the scanner.
#define BYTROVE_NOT_COVERED __attribute__((no_sanitize("coverage")))

// What one pattern position accepts, as the generator meant it.
struct model_position {
  enum kind_t : std::uint8_t { wildcard, exact, folded } kind;
  std::uint8_t value;  // folded: the lower-case letter
};

struct sinks {
  std::string out_text;
  std::string err_text;
  output out{&out_text};
  output err{&err_text};
};

sinks& the_sinks() {
  static sinks s;
  return s;
}

struct run_case {
  bool ignore_case = false;
  bool verbose = false;
  bool use_pipe = false;
  std::size_t pipe_chunk = 1;
  bool pipe_nonblocking = false;
  std::string pattern_text;
  std::vector<model_position> model;
  const char* matcher = "";
};

run_case g_case;  // for failure messages

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr,
               "fuzz_scanner: %s\n  matcher %s, ignore-case %d, %s\n  pattern text: ", what.c_str(),
               g_case.matcher, g_case.ignore_case ? 1 : 0, g_case.use_pipe ? "pipe" : "memfd");
  for (const char c : g_case.pattern_text)
    std::fprintf(stderr, "%02X ", static_cast<unsigned char>(c));
  std::fprintf(stderr, "\n");
  __builtin_trap();
}

bool is_letter(std::uint8_t b) { return (b | 0x20) >= 'a' && (b | 0x20) <= 'z'; }

// Writes the positions as pattern text: hex pairs, "?" and 'quoted' runs. A quoted run cannot
// hold its own quote or a NUL (the argument would end there), so those bytes stay hex.
void build_pattern(const std::uint8_t* position_bytes, std::size_t m, std::uint8_t wild,
                   int quoting, run_case& rc) {
  rc.model.clear();
  rc.pattern_text.clear();
  bool in_string = false;
  for (std::size_t i = 0; i < m; ++i) {
    const std::uint8_t b = position_bytes[i];
    if (b == wild && i + 1 < m) {
      if (in_string) rc.pattern_text += '\'';
      in_string = false;
      rc.pattern_text += '?';
      rc.model.push_back({model_position::wildcard, 0});
      continue;
    }
    const bool quotable = b != 0 && b != '\'';
    const bool quote = quotable && ((quoting == 1 && is_letter(b)) || quoting == 2 ||
                                    (quoting == 3 && i % 2 == 0));
    if (quote) {
      if (!in_string) rc.pattern_text += '\'';
      in_string = true;
      rc.pattern_text += static_cast<char>(b);
      if (rc.ignore_case && is_letter(b)) {
        rc.model.push_back({model_position::folded, static_cast<std::uint8_t>(b | 0x20)});
      } else {
        rc.model.push_back({model_position::exact, b});
      }
    } else {
      if (in_string) rc.pattern_text += '\'';
      in_string = false;
      char hex[4];
      std::snprintf(hex, sizeof hex, "%02x ", b);
      rc.pattern_text += hex;
      rc.model.push_back({model_position::exact, b});
    }
  }
  // An open string at the end is accepted as closed; leave it open.
}

// The reference: a window matches when each of its concrete positions accepts its byte
// (wildcards accept any). They are tested from the last position down only because that rejects
// most windows soonest; the order does not change the answer.
struct reference_check {
  std::size_t offset;
  model_position position;
};

reference_check g_checks[k_max_positions];
std::size_t g_check_count = 0;

BYTROVE_NOT_COVERED void prepare_reference(const std::vector<model_position>& model) {
  g_check_count = 0;
  for (std::size_t k = model.size(); k-- > 0;) {
    if (model[k].kind != model_position::wildcard) g_checks[g_check_count++] = {k, model[k]};
  }
}

// Called for every window of up to three blocks, so it also skips the address checks (it
// reads window[0, m), which its callers keep inside the data) and uses plain arrays: a helper
// without the same attributes would not be inlined here.
BYTROVE_NOT_COVERED __attribute__((no_sanitize("address"))) bool matches_at(
    const std::uint8_t* window) {
  for (std::size_t i = 0; i < g_check_count; ++i) {
    const model_position& p = g_checks[i].position;
    const std::uint8_t x = window[g_checks[i].offset];
    if (p.kind == model_position::exact ? x != p.value : (x | 0x20) != p.value) return false;
  }
  return true;
}

// Every window of the data.
BYTROVE_NOT_COVERED std::vector<std::uint64_t> naive_search(
    const std::vector<model_position>& model, const std::vector<std::uint8_t>& data) {
  std::vector<std::uint64_t> found;
  const std::size_t m = model.size();
  for (std::size_t start = 0; start + m <= data.size(); ++start) {
    if (matches_at(data.data() + start)) found.push_back(start);
  }
  return found;
}

// Writes one occurrence of the pattern at `start`; wildcard positions keep the data's byte.
BYTROVE_NOT_COVERED void plant(const std::vector<model_position>& model,
                               std::vector<std::uint8_t>& data, std::size_t start,
                               bool alternate_case) {
  for (std::size_t k = 0; k < model.size(); ++k) {
    const model_position& p = model[k];
    if (p.kind == model_position::wildcard) continue;
    std::uint8_t b = p.value;
    if (p.kind == model_position::folded && alternate_case && (start + k) % 2 == 1) {
      b = static_cast<std::uint8_t>(b & 0xDF);
    }
    data[start + k] = b;
  }
}

// Builds an input of about one or three read blocks from the data bytes, repeated. Occurrences
// can only end in "live" stretches, the first and last kilobyte and a kilobyte either side of
// each block boundary: elsewhere each would-be occurrence has its last byte replaced, so the
// bulk keeps the data's make-up (and can feed the vector filters false candidates) without
// flooding a run with report lines.
BYTROVE_NOT_COVERED void fill_stretched(const std::uint8_t* tail, std::size_t tail_size,
                                        int stretch, std::uint8_t length_byte,
                                        std::uint8_t plant_byte, bool alternate_case,
                                        const std::vector<model_position>& model,
                                        std::vector<std::uint8_t>& data) {
  constexpr std::size_t live = 1024;
  const std::size_t blocks = stretch == 2 ? 3 : 1;
  const std::size_t total = blocks * k_block_size - 256 + 2 * std::size_t{length_byte};
  const std::size_t m = model.size();
  const model_position last = model[m - 1];
  const auto quiet = static_cast<std::uint8_t>(last.value ^ 0x80);  // never accepted there
  data.resize(total);
  if (tail_size == 0) {
    std::fill(data.begin(), data.end(), std::uint8_t{0});
  } else {  // the data bytes over and over, by doubling copies
    std::size_t filled = tail_size < total ? tail_size : total;
    std::copy(tail, tail + filled, data.begin());
    while (filled < total) {
      const std::size_t take = filled < total - filled ? filled : total - filled;
      std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(take),
                data.begin() + static_cast<std::ptrdiff_t>(filled));
      filled += take;
    }
  }
  // Break every occurrence that would end in a gap between the live stretches, leftmost
  // first; changing a window's last byte cannot complete a window that ends before it.
  std::size_t gap_start = live;
  for (std::size_t b = 1; b <= blocks + 1; ++b) {
    const std::size_t gap_end = b <= blocks ? b * k_block_size - live : total - live;
    for (std::size_t e = std::max(gap_start, m - 1); e < gap_end && e < total; ++e) {
      if (matches_at(data.data() + e + 1 - m)) data[e] = quiet;
    }
    gap_start = b * k_block_size + live;
  }
  // Occurrences planted so that they start up to 256 bytes before each boundary (so many of
  // them straddle it), or, for stretch 3, back to back through each live stretch.
  for (std::size_t b = 1; b <= blocks; ++b) {
    if (stretch == 3) {
      for (std::size_t start = b * k_block_size - live;
           start + m <= b * k_block_size + live && start + m <= total; start += m) {
        plant(model, data, start, alternate_case);
      }
    } else {
      const std::size_t start = b * k_block_size - 1 - plant_byte;
      if (start + m <= total) plant(model, data, start, alternate_case);
    }
  }
  if (total >= m) plant(model, data, total - m, alternate_case);
}

int input_fd() {
  static const int fd = [] {
    const int made = ::memfd_create("fuzz_scanner", 0);
    if (made < 0) {
      std::perror("memfd_create");
      std::abort();
    }
    return made;
  }();
  return fd;
}

void write_all(int fd, const std::uint8_t* bytes, std::size_t size, std::size_t chunk) {
  while (size > 0) {
    const std::size_t want = size < chunk ? size : chunk;
    const ssize_t n = ::write(fd, bytes, want);
    if (n <= 0) {
      std::perror("write");
      std::abort();
    }
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
}

void load_memfd(const std::vector<std::uint8_t>& data) {
  const int fd = input_fd();
  if (::ftruncate(fd, 0) != 0) std::abort();
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n =
        ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(done));
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
}

// The line printf("offset 0x%08lX%11s) in %s\n", offset, "(<decimal offset>", name) prints,
// built by hand: dense inputs have tens of thousands of lines per run.
BYTROVE_NOT_COVERED void append_report_line(std::string& text, std::uint64_t offset,
                                            std::string_view name) {
  char hex[17];
  int hex_digits = 0;
  for (std::uint64_t v = offset; v != 0 || hex_digits < 8; v >>= 4) {
    hex[hex_digits++] = "0123456789ABCDEF"[v & 0xF];
  }
  char label[22];
  int label_size = 0;
  for (std::uint64_t v = offset;; v /= 10) {
    label[label_size++] = static_cast<char>('0' + v % 10);
    if (v < 10) break;
  }
  label[label_size++] = '(';
  char line[64] = "offset 0x";
  std::size_t size = 9;
  while (hex_digits > 0) line[size++] = hex[--hex_digits];
  for (int pad = label_size; pad < 11; ++pad) line[size++] = ' ';
  while (label_size > 0) line[size++] = label[--label_size];
  text.append(line, size);
  text += ") in ";
  text += name;
  text += '\n';
}

// For the failure message only: the offsets named by the report lines, in order.
std::vector<std::uint64_t> parse_report(std::string_view text) {
  std::vector<std::uint64_t> offsets;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    const std::string line(text.substr(0, newline));
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    unsigned long offset = 0;
    if (std::sscanf(line.c_str(), "offset 0x%lX", &offset) != 1) fail("not a report line: " + line);
    offsets.push_back(offset);
  }
  return offsets;
}

void explain_difference(const std::vector<std::uint64_t>& want, std::string_view got_text,
                        std::string_view want_text, std::size_t data_size) {
  const std::vector<std::uint64_t> got = parse_report(got_text);
  std::size_t i = 0;
  while (i < want.size() && i < got.size() && want[i] == got[i]) ++i;
  std::string what = "report differs from the naive search (data " + std::to_string(data_size) +
                     " bytes, naive " + std::to_string(want.size()) + " occurrences, scanner " +
                     std::to_string(got.size()) + " lines); ";
  if (i == want.size() && i == got.size()) {
    std::size_t c = 0;
    while (c < got_text.size() && c < want_text.size() && got_text[c] == want_text[c]) ++c;
    what += "same offsets, but the text differs at byte " + std::to_string(c);
  } else {
    what += "first difference: naive ";
    what += i < want.size() ? std::to_string(want[i]) : std::string("none");
    what += ", scanner ";
    what += i < got.size() ? std::to_string(got[i]) : std::string("none");
  }
  fail(what);
}

void scan_once(const compiled_pattern& pattern, const search_plan& plan, matcher_kind kind,
               const std::vector<std::uint8_t>& data, const std::vector<std::uint64_t>& want,
               const std::string& want_text) {
  sinks& s = the_sinks();
  s.out_text.clear();
  s.err_text.clear();
  stream_search scan(pattern, plan, s.out, s.err, kind);
  if (g_case.use_pipe) {
    int fds[2];
    if (::pipe(fds) != 0) std::abort();
    // A non-blocking read end makes reads meet EAGAIN and wait in poll.
    if (g_case.pipe_nonblocking) ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    std::thread writer([&data, fd = fds[1]] {
      write_all(fd, data.data(), data.size(), g_case.pipe_chunk);
      ::close(fd);
    });
    scan.scan_stream(k_name, fds[0], g_case.verbose);
    writer.join();
    ::close(fds[0]);
  } else {
    if (::lseek(input_fd(), 0, SEEK_SET) != 0) std::abort();
    scan.scan_stream(k_name, input_fd(), g_case.verbose);
  }
  if (!s.out.flush() || !s.err.flush()) fail("a string sink failed");
  if (!s.err_text.empty()) fail("standard error written: " + s.err_text);

  std::string_view text = s.out_text;
  if (g_case.verbose) {
    const std::string first = std::string("Searching ") + k_name + " ...\n";
    if (text.substr(0, first.size()) != first) fail("verbose line missing");
    text.remove_prefix(first.size());
  }
  if (text != want_text) explain_difference(want, text, want_text, data.size());
  const run_counters& c = scan.counters();
  if (c.files_searched != 1) fail("files_searched is not 1");
  if (c.bytes_searched != data.size()) fail("bytes_searched is not the input size");
  if (c.occurrences != want.size()) fail("occurrences counter differs from the lines printed");
}

// Searches the memfd with the whole program, through its /proc path, on 2 to 5 threads. At most
// 256 chunks keeps an input quick; byte 3 moves the boundaries by single bytes in small data
// and by 4099 in stretched data, so over a run they fall before, inside and after occurrences.
void search_in_parallel(const std::vector<std::uint64_t>& want, std::uint8_t chunk_byte,
                        std::uint8_t threads_byte, std::size_t data_size) {
  const std::string path = "/proc/self/fd/" + std::to_string(input_fd());
  std::vector<std::string> args{"bytrove", "--threads", std::to_string(2 + threads_byte / 64)};
  if (g_case.ignore_case) args.push_back("-i");
  args.insert(args.end(), {g_case.pattern_text, "--", path});
  sinks& s = the_sinks();
  s.out_text.clear();
  s.err_text.clear();
  posix_file_system fs;
  io_context io{s.out, s.err, -1, fs};
  const std::size_t step = data_size < 65536 ? 1 : 4099;
  io.chunk_size = 1 + data_size / 256 + step * chunk_byte;
  g_case.matcher = "parallel search";
  const int code = run(args, io);
  if (!s.out.flush() || !s.err.flush()) fail("a string sink failed");
  if (code != 0 || !s.err_text.empty()) {
    fail("exit code " + std::to_string(code) + ", standard error: " + s.err_text);
  }
  std::string want_text;
  for (const std::uint64_t offset : want) append_report_line(want_text, offset, path);
  const std::string_view banner = k_banner;
  const std::string_view text = s.out_text;
  if (text.substr(0, banner.size()) != banner) fail("banner missing");
  if (text.substr(banner.size()) != want_text) {
    explain_difference(want, text.substr(banner.size()), want_text, data_size);
  }
}

// `data` as gzip: two members, the first holding data[0, cut).
BYTROVE_NOT_COVERED std::vector<std::uint8_t> gzip_members(const std::vector<std::uint8_t>& data,
                                                           std::size_t cut) {
  std::vector<std::uint8_t> packed;
  for (const auto& [from, to] : {std::pair{std::size_t{0}, cut}, std::pair{cut, data.size()}}) {
    z_stream z{};
    if (deflateInit2(&z, 1, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      std::abort();
    std::vector<std::uint8_t> out(deflateBound(&z, static_cast<uLong>(to - from)) + 64);
    z.next_in = const_cast<Bytef*>(data.data() + from);
    z.avail_in = static_cast<uInt>(to - from);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
    packed.insert(packed.end(), out.data(), out.data() + z.total_out);
    deflateEnd(&z);
  }
  return packed;
}

// What a gzip decoder prints of `packed` before it ends: every byte inflate gives, member after
// member; `ended` tells whether the last member was whole.
BYTROVE_NOT_COVERED std::vector<std::uint8_t> gunzip_before_end(
    const std::vector<std::uint8_t>& packed, bool& ended) {
  std::vector<std::uint8_t> out;
  std::size_t at = 0;
  ended = true;
  while (at < packed.size()) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) std::abort();
    z.next_in = const_cast<Bytef*>(packed.data() + at);
    z.avail_in = static_cast<uInt>(packed.size() - at);
    int r = Z_OK;
    while (r == Z_OK) {
      std::uint8_t buffer[4096];
      z.next_out = buffer;
      z.avail_out = sizeof buffer;
      r = inflate(&z, Z_NO_FLUSH);
      out.insert(out.end(), buffer, buffer + (sizeof buffer - z.avail_out));
    }
    at = packed.size() - z.avail_in;
    inflateEnd(&z);
    if (r != Z_STREAM_END) {
      ended = false;
      break;
    }
  }
  return out;
}

// Searches `packed` (loaded in the memfd) with --decompress: one stream, then through a pipe.
// Its lines (and `want_err` on standard error) are compared only when `plain_data`: data
// unpacked as an archive differs rightly.
void scan_compressed(const compiled_pattern& pattern, const search_plan& plan,
                     const std::vector<std::uint8_t>& packed, const std::string& want_text,
                     bool plain_data, const std::string& want_err = {}) {
  result_options options;
  options.decompress = 1;
  pattern_names names;
  names.lengths.push_back(static_cast<std::uint16_t>(pattern.length));
  const std::string want = std::string(k_name) + "{}";
  for (const bool pipe : {false, true}) {
    sinks& s = the_sinks();
    s.out_text.clear();
    s.err_text.clear();
    stream_search scan(search_target::single(pattern, plan), options, names, s.out, s.err);
    if (pipe) {
      int fds[2];
      if (::pipe(fds) != 0) std::abort();
      std::thread writer([&packed, fd = fds[1]] {
        write_all(fd, packed.data(), packed.size(), 65536);
        ::close(fd);
      });
      scan.scan_stream(k_name, fds[0], false);
      writer.join();
      ::close(fds[0]);
    } else {
      if (::lseek(input_fd(), 0, SEEK_SET) != 0) std::abort();
      scan.scan_stream(k_name, input_fd(), false);
    }
    if (!s.out.flush() || !s.err.flush()) fail("a string sink failed");
    if (!plain_data) continue;
    if (s.err_text != want_err) fail("compressed input: standard error written: " + s.err_text);
    std::string got = s.out_text;
    for (std::size_t at = 0; (at = got.find(want, at)) != std::string::npos;) {
      got.replace(at, want.size(), k_name);
      at += std::string_view(k_name).size();
    }
    if (got != want_text)
      fail(std::string("compressed input differs, ") + (pipe ? "pipe" : "memfd"));
  }
}

// The fuzzer's bytes as a packed input of any kind: the run must end normally.
void unpack_raw(const std::uint8_t* bytes, std::size_t size) {
  load_memfd(std::vector<std::uint8_t>(bytes, bytes + size));
  const std::string path = "/proc/self/fd/" + std::to_string(input_fd());
  std::vector<std::string> args{"bytrove", "--decompress=2", "--count", "00", "--", path};
  sinks& s = the_sinks();
  s.out_text.clear();
  s.err_text.clear();
  posix_file_system fs;
  io_context io{s.out, s.err, -1, fs};
  const int code = run(args, io);
  if (code != 0) fail("raw packed input: exit code " + std::to_string(code) + ": " + s.err_text);
}

struct named_matcher {
  matcher_kind kind;
  const char* name;
};

std::vector<named_matcher> matchers_on_this_cpu() {
  __builtin_cpu_init();
  std::vector<named_matcher> list = {{matcher_kind::horspool, "horspool"},
                                     {matcher_kind::sse2, "sse2"},
                                     {matcher_kind::automatic, "automatic"}};
  if (__builtin_cpu_supports("avx2")) list.push_back({matcher_kind::avx2, "avx2"});
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) {
    list.push_back({matcher_kind::avx512, "avx512"});
  }
  return list;
}

}  // namespace
}  // namespace bytrove

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::signal(SIGPIPE, SIG_IGN);
  // The expected lines are built by hand for speed; make sure they are printf's lines.
  for (const std::uint64_t offset : {0ull, 9ull, 10ull, 1234ull, 0xFFFFFFFFull, 0x100000000ull,
                                     9999999999ull, 10000000000ull, ~0ull}) {
    std::string mine;
    bytrove::append_report_line(mine, offset, bytrove::k_name);
    char label[32];
    char line[128];
    std::snprintf(label, sizeof label, "(%llu", static_cast<unsigned long long>(offset));
    std::snprintf(line, sizeof line, "offset 0x%08llX%11s) in %s\n",
                  static_cast<unsigned long long>(offset), label, bytrove::k_name);
    if (mine != line) {
      std::fprintf(stderr, "fuzz_scanner: expected-line formatter is wrong for %s", line);
      std::abort();
    }
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  using namespace bytrove;
  if (size < k_header + 1) return 0;
  static const std::vector<named_matcher> matchers = matchers_on_this_cpu();
  static std::vector<std::uint8_t> data;

  const std::uint8_t flags = bytes[0];
  run_case& rc = g_case;
  rc.ignore_case = (flags & 0x01) != 0;
  const int stretch = (flags >> 1) & 3;
  const int quoting = (flags >> 3) & 3;
  rc.use_pipe = (flags & 0x20) != 0;
  const bool alternate_case = (flags & 0x40) != 0;
  rc.verbose = (flags & 0x80) != 0;
  std::size_t m = std::size_t{bytes[1]} + 1;
  if (m > size - k_header) m = size - k_header;
  const std::uint8_t wild = bytes[2];
  const std::uint8_t length_byte = bytes[3];
  const std::uint8_t plant_byte = bytes[4];

  const std::uint8_t* positions_in = bytes + k_header;
  const std::uint8_t* tail = positions_in + m;
  const std::size_t tail_size = size - k_header - m;

  build_pattern(positions_in, m, wild, quoting, rc);
  prepare_reference(rc.model);
  compiled_pattern pattern;
  const status st = parse_pattern(rc.pattern_text, rc.ignore_case, pattern);
  if (!st.ok()) fail("generated pattern text rejected: " + st.message());
  if (static_cast<std::size_t>(pattern.length) != m) fail("compiled length differs");
  for (std::size_t k = 0; k < m; ++k) {
    const model_position& p = rc.model[k];
    const int want = p.kind == model_position::wildcard ? k_wildcard : p.value;
    if (pattern.value[k] != want || pattern.fold[k] != (p.kind == model_position::folded ? 1 : 0)) {
      fail("compiled position " + std::to_string(k) + " differs from the text written");
    }
  }
  const search_plan plan = build_search_plan(pattern, rc.ignore_case);

  if (stretch == 0) {
    data.assign(tail, tail + tail_size);
  } else {
    fill_stretched(tail, tail_size, stretch, length_byte, plant_byte, alternate_case, rc.model,
                   data);
  }
  const std::vector<std::uint64_t> want = naive_search(rc.model, data);
  static std::string want_text;
  want_text.clear();
  for (const std::uint64_t offset : want) append_report_line(want_text, offset, k_name);
  // Pipe writes far smaller than a block, so reads come back short: 1 to 256 bytes for small
  // inputs, 4 to 64 KiB for stretched ones (tiny writes would make those crawl).
  rc.pipe_chunk =
      data.size() < 4096 ? 1 + std::size_t{plant_byte} : 4096 + std::size_t{plant_byte} * 241;
  rc.pipe_nonblocking = (plant_byte & 1) != 0;
  static const bool compressed = std::getenv("BYTROVE_FUZZ_COMPRESSED") != nullptr;
  if (compressed) {
    const std::vector<std::uint8_t> packed =
        gzip_members(data, data.empty() ? 0 : plant_byte * data.size() / 256);
    load_memfd(packed);
    rc.matcher = "compressed";
    const bool plain_data = !looks_packed(data.data(), data.size());
    scan_compressed(pattern, plan, packed, want_text, plain_data);
    // Cut short, never inside the 10-byte header: a shorter file is not recognised as gzip.
    const std::size_t keep =
        10 + (std::size_t{length_byte} * 256 + plant_byte) % (packed.size() - 9);
    std::vector<std::uint8_t> cut(packed.begin(), packed.begin() + static_cast<long>(keep));
    bool ended = true;
    const std::vector<std::uint8_t> decoded = gunzip_before_end(cut, ended);
    std::string cut_text;
    for (const std::uint64_t offset : naive_search(rc.model, decoded)) {
      append_report_line(cut_text, offset, k_name);
    }
    load_memfd(cut);
    rc.matcher = "compressed, cut short";
    scan_compressed(
        pattern, plan, cut, cut_text, plain_data,
        ended ? std::string()
              : std::string("Error decompressing ") + k_name + "{}: unexpected end of file.\n");
    unpack_raw(bytes + k_header, size - k_header);
    return 0;
  }
  if (!rc.use_pipe) load_memfd(data);
  for (const named_matcher& nm : matchers) {
    rc.matcher = nm.name;
    scan_once(pattern, plan, nm.kind, data, want, want_text);
  }
  if (!rc.use_pipe) search_in_parallel(want, length_byte, plant_byte, data.size());
  return 0;
}
