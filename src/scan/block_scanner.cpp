#include "scan/block_scanner.h"

#include <emmintrin.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "scan/matcher.h"
#include "scan/read_plan.h"
#include "scan/set_matcher.h"

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

// Fills up to `want` bytes by repeated reads (pread at `offset` in positioned mode): a short
// read is not the end of the input, only a read that returns 0 is. Sets `failed` when a read
// fails; what was read before still counts. A live stream returns early, with `paused` set,
// once at least `enough` bytes have come and the next read would wait.
// A `stream` (decompressed bytes) is read in place of `fd`.
std::size_t fill(int fd, byte_stream* stream, read_mode mode, std::uint64_t offset,
                 std::uint8_t* dst, std::size_t want, std::size_t enough, bool& failed,
                 bool& paused) {
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

// How many of bytes[0, size) match `value` once ORed with `fold` (0x20 for a folded letter).
std::size_t count_byte(const std::uint8_t* bytes, std::size_t size, std::uint8_t value,
                       std::uint8_t fold) {
  std::size_t n = 0;
  std::size_t i = 0;
#ifdef __SSE2__
  // Each match subtracts -1 from its byte lane; the lanes are summed before they can wrap.
  const __m128i want = _mm_set1_epi8(static_cast<char>(value));
  const __m128i or_mask = _mm_set1_epi8(static_cast<char>(fold));
  while (i + 16 <= size) {
    __m128i lanes = _mm_setzero_si128();
    const std::size_t stop = std::min(size - 15, i + 255 * 16);
    for (; i < stop; i += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(_mm_or_si128(x, or_mask), want));
    }
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    n += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
         static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
  }
#endif
  for (; i < size; ++i) n += (bytes[i] | fold) == value ? 1 : 0;
  return n;
}

// Bytes of [a, b) that lie in [lo, hi).
std::uint64_t overlap(std::uint64_t a, std::uint64_t b, std::uint64_t lo, std::uint64_t hi) {
  const std::uint64_t s = std::max(a, lo);
  const std::uint64_t e = std::min(b, hi);
  return e > s ? e - s : 0;
}

}  // namespace

void block_scanner::aligned_free::operator()(std::uint8_t* p) const { std::free(p); }

search_target search_target::single(const compiled_pattern& pattern, const search_plan& plan) {
  search_target target;
  target.pattern = &pattern;
  target.plan = &plan;
  target.length = static_cast<std::size_t>(pattern.length);
  target.zeros_can_match = matches_in_zeros(pattern);
  return target;
}

block_scanner::block_scanner(const search_target& target, matcher_kind matcher,
                             std::size_t block_size)
    : target_(target),
      block_size_(block_size),
      matcher_(matcher == matcher_kind::horspool ? nullptr : select_block_search(matcher),
               matcher == matcher_kind::automatic) {
  // Whole pages in front hold the carried tail; the data starts on the next page boundary.
  const std::size_t front = (target.length + k_page - 1) / k_page * k_page;
  const std::size_t size =
      (front + block_size + tail_room(target.length) + k_page - 1) / k_page * k_page;
  auto* raw = static_cast<std::uint8_t*>(std::aligned_alloc(k_page, size));
  if (raw == nullptr) throw std::bad_alloc();
  std::memset(raw, 0, size);  // the filter may look at bytes past the planted copy
  memory_.reset(raw);
  data_ = raw + front;
  // A set may report several members at one place: room for every member of a place at least.
  capacity_ = std::max(block_size + 2 * std::max<std::size_t>(target.length, k_max_positions),
                       4 * target.members);
  if (target.extended != nullptr) {
    extended_ = std::make_unique<extended_matcher::state>(matcher);
    return;  // the extended matcher keeps its own hit lists
  }
  starts_.reset(new std::uint32_t[capacity_]);
  if (target.set != nullptr) members_.reset(new std::uint32_t[capacity_]);
}

bool block_scanner::skip_to(int fd, byte_stream* stream, std::uint64_t offset,
                            scan_outcome& outcome) {
  while (outcome.end_offset < offset) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(block_size_, offset - outcome.end_offset));
    bool paused = false;
    const std::size_t got =
        fill(fd, stream, read_mode::stream, 0, data_, want, want, outcome.read_failed, paused);
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
    const std::size_t enough = target_.extended != nullptr ? 1 : keep + 1 - std::min(keep, carried);
    const std::size_t got =
        fill(fd, stream, mode, pos, data_, want, enough, outcome.read_failed, paused);
    const std::uint64_t in_range = overlap(pos, pos + got, span.from, span.limit);
    outcome.bytes += in_range;
    std::uint8_t* const buf = data_ - carried;
    const std::size_t end = carried + got;
    const std::uint64_t base = pos - carried;
    pos += got;
    // The last block of the input, or of the span: nothing comes after it to complete an
    // occurrence that starts near its end.
    const bool last = outcome.read_failed || (got < want && !paused) || pos >= span.read_end;
    // With no new bytes, only a set's hits held back in the carried tail are left to report.
    if (got > 0 || (last && carried > 0 && target_.set != nullptr)) {
      found_block found{nullptr, 0, nullptr, nullptr, base, buf, end, in_range, paused};
      if (!search_block(buf, carried, last, span, found, sink)) {
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

bool block_scanner::search_block(std::uint8_t* buf, std::size_t carried, bool last,
                                 const scan_span& span, found_block& found, block_sink& sink) {
  if (count_only_) {
    // Only the occurrences in [from, limit) that end in new data, without listing them.
    const std::uint64_t lo = std::max<std::uint64_t>(found.base + carried, span.from);
    const std::uint64_t hi = std::min<std::uint64_t>(found.base + found.size, span.limit);
    if (hi > lo) {
      found.count = count_byte(buf + (lo - found.base), static_cast<std::size_t>(hi - lo),
                               target_.plan->order_byte[0], target_.plan->order_or[0]);
    }
    return sink.on_block(found);
  }
  if (target_.extended != nullptr) return search_extended(buf, carried, span, found, sink);
  if (target_.set == nullptr) {
    plant_pattern_copy(buf, found.size, *target_.pattern, *target_.plan);
    const block_job job{buf, found.size, target_.pattern, target_.plan, target_.plan->anchors};
    found.starts = starts_.get();
    found.count = matcher_.search(job, starts_.get()).matches;
    trim_to_span(found, span);
    return sink.on_block(found);
  }
  // The set's hits come in order, as many at a time as there is room for. A longer member
  // that starts in the last m-1 bytes may be completed only by the next block while a shorter
  // one after it is already whole: the hits starting there are held back and reported with the
  // next block, which carries those bytes and so is searched from its first byte. The order is
  // then the same whatever the block edges, or however a stream's data arrives.
  const std::size_t keep = target_.length - 1;
  const std::size_t held_from = last ? found.size : found.size - std::min(keep, found.size);
  for (std::size_t next = 0;;) {
    const set_matcher::result r =
        target_.set->search(buf, found.size, next, 0, starts_.get(), members_.get(), capacity_);
    found.starts = starts_.get();
    found.members = members_.get();
    found.count = static_cast<std::size_t>(
        std::lower_bound(found.starts, found.starts + r.count, held_from) - found.starts);
    trim_to_span(found, span);
    if (!sink.on_block(found)) return false;
    found.bytes = 0;  // counted once per block
    next = r.next;
    if (next >= held_from) return true;
  }
}

bool block_scanner::search_extended(std::uint8_t* buf, std::size_t carried, const scan_span& span,
                                    found_block& found, block_sink& sink) {
  extended_matcher::state& st = *extended_;
  target_.extended->search(buf, found.size, carried, st);
  found.starts = st.starts.data();
  found.lengths = st.lengths.data();
  found.members = target_.extended->is_set() ? st.members.data() : nullptr;
  found.count = st.starts.size();
  trim_to_span(found, span);
  return sink.on_block(found);
}

void block_scanner::trim_to_span(found_block& found, const scan_span& span) {
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

}  // namespace bytrove
