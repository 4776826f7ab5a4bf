#include "scan/block_scanner.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "scan/read_plan.h"

namespace bytrove {
namespace {

constexpr std::size_t k_page = 4096;
// Room after the data: a positioned read takes up to m-1 bytes more than a block (the overlap
// with the next range), then the planted copy (at most 256 bytes) and the vector filter's
// reach past it.
std::size_t tail_room(std::size_t m) {
  return std::max(m, std::size_t{k_max_positions}) + k_max_positions + k_search_slack;
}

bool readable_now(int fd) {
  pollfd pfd{fd, POLLIN, 0};
  return ::poll(&pfd, 1, 0) > 0;
}

// Fills up to `want` bytes by repeated reads from input offset `offset` (pread there in
// positioned mode): a short read is not the end of the input, only a read that returns 0 is, or
// a short read that ends exactly at `known_end`. Sets `failed` when a read fails; what was read
// before still counts. A live stream returns early, with `paused` set, once at least `enough` bytes
// have come and the next read would wait.
// A `stream` (decompressed bytes) is read in place of `fd`.
std::size_t fill(int fd, byte_stream* stream, read_mode mode, std::uint64_t offset,
                 std::uint64_t known_end, std::uint8_t* dst, std::size_t want, std::size_t enough,
                 bool& failed, bool& paused) {
  std::size_t got = 0;
  if (mode == read_mode::positioned) {
    // No file reaches past the largest offset: a read from there (a range near 2^63) finds
    // the end rather than failing with EINVAL.
    constexpr std::uint64_t k_max_offset = std::numeric_limits<off_t>::max();
    if (offset >= k_max_offset) return 0;
    want = static_cast<std::size_t>(std::min<std::uint64_t>(want, k_max_offset - offset));
  }
  while (got < want) {
    if (stream != nullptr) {
      const long n = stream->read(dst + got, want - got);
      if (n > 0) {
        got += static_cast<std::size_t>(n);
        continue;
      }
      failed = n < 0;
      break;
    }
    const ssize_t n = mode == read_mode::positioned
                          ? ::pread(fd, dst + got, want - got, static_cast<off_t>(offset + got))
                          : ::read(fd, dst + got, want - got);
    const bool may_pause =
        mode == read_mode::live && got + (n > 0 ? static_cast<std::size_t>(n) : 0) >= enough;
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      if (mode != read_mode::live && read_ends_file(got, want, offset + got, known_end)) break;
      if (got < want && may_pause && !readable_now(fd)) {
        paused = true;
        break;
      }
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {  // a non-blocking descriptor: wait for data
      if (may_pause) {
        paused = true;
        break;
      }
      pollfd pfd{fd, POLLIN, 0};
      if (::poll(&pfd, 1, -1) >= 0 || errno == EINTR) continue;
    }
    failed = true;
    break;
  }
  return got;
}

// Bytes of [a, b) that lie in [lo, hi).
std::uint64_t overlap(std::uint64_t a, std::uint64_t b, std::uint64_t lo, std::uint64_t hi) {
  const std::uint64_t s = std::max(a, lo);
  const std::uint64_t e = std::min(b, hi);
  return e > s ? e - s : 0;
}

void trim_to_span(found_block& found, const scan_span& span) {
  // Only blocks that reach outside [from, limit) can hold occurrences outside it: those before
  // belong to the context read ahead of a chunk, those after to the next chunk.
  const std::uint64_t end = found.base + found.size;
  if (found.base < span.from) {
    const std::uint64_t cut = std::min<std::uint64_t>(span.from - found.base, found.size);
    const std::uint32_t* first = std::lower_bound(found.starts, found.starts + found.count, cut);
    found.count -= static_cast<std::size_t>(first - found.starts);
    if (found.members != nullptr) found.members += first - found.starts;
    if (found.lengths != nullptr) found.lengths += first - found.starts;
    found.starts = first;
  }
  if (end > span.limit) {
    const std::uint64_t cut = span.limit > found.base ? span.limit - found.base : 0;
    found.count = static_cast<std::size_t>(
        std::lower_bound(found.starts, found.starts + found.count, cut) - found.starts);
  }
}

// Hands a matcher's hits to the scan's sink, trimmed to the span.
class span_receiver final : public hit_receiver {
 public:
  span_receiver(const scan_span& span, block_sink& sink) : span_(span), sink_(sink) {}
  bool take(found_block& found) override {
    if (found.starts != nullptr) trim_to_span(found, span_);
    return sink_.on_block(found);
  }

 private:
  const scan_span& span_;
  block_sink& sink_;
};

}  // namespace

void block_scanner::aligned_free::operator()(std::uint8_t* p) const { std::free(p); }

block_scanner::block_scanner(const search_target& target, matcher_kind matcher,
                             std::size_t block_size)
    : target_(target), block_size_(block_size) {
  // Whole pages in front hold the carried tail; the data starts on the next page boundary.
  const std::size_t front = (target.length + k_page - 1) / k_page * k_page;
  const std::size_t size =
      (front + block_size + tail_room(target.length) + k_page - 1) / k_page * k_page;
  auto* raw = static_cast<std::uint8_t*>(std::aligned_alloc(k_page, size));
  if (raw == nullptr) throw std::bad_alloc();
  std::memset(raw, 0, front);
  memory_.reset(raw);
  data_ = raw + front;
  capacity_ = size - front;
  // A set may report several members at one place: room for every member of a place at least.
  const std::size_t capacity = std::max(
      block_size + 2 * std::max<std::size_t>(target.length, k_max_positions), 4 * target.members);
  matcher_ = make_block_matcher(target, matcher, capacity);
}

void block_scanner::settle_tail(std::size_t end) {
  // The planted copy and the filters' reach past it lie within a tail's room of the data.
  const std::size_t reach = std::min(end + tail_room(target_.length), capacity_);
  if (reach <= written_) return;
  const std::size_t from = std::max(written_, end);
  std::memset(data_ + from, 0, reach - from);
  written_ = reach;
}

bool block_scanner::skip_to(int fd, byte_stream* stream, std::uint64_t offset,
                            scan_outcome& outcome) {
  while (outcome.end_offset < offset) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(block_size_, offset - outcome.end_offset));
    bool paused = false;
    const std::size_t got = fill(fd, stream, read_mode::stream, outcome.end_offset, k_no_limit,
                                 data_, want, want, outcome.read_failed, paused);
    outcome.end_offset += got;
    if (outcome.read_failed) return false;
    if (got < want) {
      outcome.at_end = true;
      return false;
    }
  }
  return true;
}

scan_span span_within(std::uint64_t start, std::uint64_t limit, std::uint64_t range_start,
                      std::uint64_t range_end, std::size_t m, std::size_t context) {
  scan_span span;
  span.from = start;
  span.limit = limit;
  const std::uint64_t first =
      start - std::min<std::uint64_t>(start - std::min(start, range_start), context);
  // Reads from a page boundary: the kernel copies from a misaligned file offset several times
  // slower. The bytes read before `from` are only context (or nothing): no occurrence starting
  // there is reported.
  span.read_from = first / k_page * k_page;
  const std::uint64_t reach = m - 1 + context;
  span.read_end = limit >= range_end || range_end - limit <= reach ? range_end : limit + reach;
  return span;
}

scan_outcome block_scanner::scan(int fd, read_mode mode, const scan_span& span, block_sink& sink) {
  return scan_from(fd, nullptr, mode, span, sink);
}

scan_outcome block_scanner::scan(byte_stream& stream, const scan_span& span, block_sink& sink) {
  return scan_from(-1, &stream, read_mode::stream, span, sink);
}

scan_outcome block_scanner::scan_from(int fd, byte_stream* stream, read_mode mode,
                                      const scan_span& span, block_sink& sink) {
  const std::size_t keep = target_.length - 1;
  const bool short_occurrences = matcher_->finds_short_occurrences();
  const bool holds_back_tail = matcher_->holds_back_tail();
  span_receiver receiver(span, sink);
  scan_outcome outcome;
  // A stream cannot seek: what lies before the span is read and dropped.
  if (mode != read_mode::positioned && !skip_to(fd, stream, span.read_from, outcome)) {
    return outcome;
  }
  std::uint64_t pos = span.read_from;  // input offset of the next byte to read
  std::size_t carried = 0;             // bytes of the previous block copied in front of data_
  while (pos < span.read_end) {
    std::size_t want = block_size_;
    if (span.read_end != k_no_limit) {
      // A range reads its overlap with the next one in the same call.
      want = static_cast<std::size_t>(
          std::min<std::uint64_t>(block_size_ + keep, span.read_end - pos));
    }
    bool paused = false;
    // A live stream pauses only with enough bytes to carry: fewer cannot hold an occurrence.
    // A brace pattern's occurrence may be far shorter than its span, so it pauses at once.
    const std::size_t enough = short_occurrences ? 1 : keep + 1 - std::min(keep, carried);
    const std::size_t got = fill(fd, stream, mode, pos, span.known_end, data_, want, enough,
                                 outcome.read_failed, paused);
    settle_tail(got);
    const std::uint64_t in_range = overlap(pos, pos + got, span.from, span.limit);
    outcome.bytes += in_range;
    std::uint8_t* const buf = data_ - carried;
    const std::size_t end = carried + got;
    const std::uint64_t base = pos - carried;
    pos += got;
    // The last block of the input, or of the span: nothing comes after it to complete an
    // occurrence that starts near its end.
    const bool last = outcome.read_failed || (got < want && !paused) || pos >= span.read_end;
    // With no new bytes, only hits held back in the carried tail (a set's) are left to report.
    if (got > 0 || (last && carried > 0 && holds_back_tail)) {
      found_block found{nullptr, 0, nullptr, nullptr, base, buf, end, in_range, paused};
      const block_to_search block{buf, carried, last, span.from, span.limit};
      if (!matcher_->search(block, found, receiver)) {
        outcome.stopped = true;
        break;
      }
    }
    if (outcome.read_failed) break;
    if (got < want && !paused) {
      outcome.at_end = true;
      break;
    }
    // Carry the last m-1 bytes so occurrences straddling the boundary are found; a window
    // starting in the carried tail ends in new data, so none is reported twice.
    // (A span longer than the blocks read so far carries all of them.)
    carried = std::min(keep, end);
    std::memmove(data_ - carried, buf + end - carried, carried);
  }
  outcome.end_offset = pos;
  return outcome;
}

}  // namespace bytrove
