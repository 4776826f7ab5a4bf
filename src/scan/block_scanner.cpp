#include "scan/block_scanner.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "scan/matcher.h"

namespace bytrove {
namespace {

constexpr std::size_t k_page = 4096;
// Room after the data: a positioned read takes up to m-1 bytes more than a block (the overlap
// with the next range), then the planted copy (m) and the vector filter's reach past it.
constexpr std::size_t k_tail_room = 2 * k_max_positions + k_search_slack;

// Fills up to `want` bytes by repeated reads (pread at `offset` in positioned mode): a short
// read is not the end of the input, only a read that returns 0 is. Sets `failed` when a read
// fails; what was read before still counts.
std::size_t fill(int fd, read_mode mode, std::uint64_t offset, std::uint8_t* dst,
                 std::size_t want, bool& failed) {
  std::size_t got = 0;
  while (got < want) {
    const ssize_t n = mode == read_mode::positioned
                          ? ::pread(fd, dst + got, want - got, static_cast<off_t>(offset + got))
                          : ::read(fd, dst + got, want - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {  // a non-blocking descriptor: wait for data
      pollfd pfd{fd, POLLIN, 0};
      if (::poll(&pfd, 1, -1) >= 0 || errno == EINTR) continue;
    }
    failed = true;
    break;
  }
  return got;
}

}  // namespace

void block_scanner::aligned_free::operator()(std::uint8_t* p) const { std::free(p); }

block_scanner::block_scanner(const compiled_pattern& pattern, const search_plan& plan,
                             matcher_kind matcher, std::size_t block_size)
    : pattern_(pattern),
      plan_(plan),
      block_size_(block_size),
      matcher_(matcher == matcher_kind::horspool ? nullptr : select_block_search(matcher),
               matcher == matcher_kind::automatic) {
  // One page in front holds the carried tail; the data starts on the next page boundary.
  const std::size_t size = (k_page + block_size + k_tail_room + k_page - 1) / k_page * k_page;
  auto* raw = static_cast<std::uint8_t*>(std::aligned_alloc(k_page, size));
  if (raw == nullptr) throw std::bad_alloc();
  std::memset(raw, 0, size);  // the filter may look at bytes past the planted copy
  memory_.reset(raw);
  data_ = raw + k_page;
  starts_.reset(new std::uint32_t[block_size + 2 * k_max_positions]);
}

scan_outcome block_scanner::scan(int fd, read_mode mode, std::uint64_t start,
                                 std::uint64_t limit, block_sink& sink) {
  const std::size_t keep = static_cast<std::size_t>(pattern_.length) - 1;
  // The last byte any occurrence starting before `limit` can need.
  const std::uint64_t read_end = limit > k_no_limit - keep ? k_no_limit : limit + keep;
  scan_outcome outcome;
  std::uint64_t pos = start;  // input offset of the next byte to read
  std::size_t carried = 0;    // bytes of the previous block copied in front of data_
  for (;;) {
    std::size_t want = block_size_;
    if (read_end != k_no_limit) {
      // A range reads its overlap with the next one in the same call.
      want = static_cast<std::size_t>(std::min<std::uint64_t>(block_size_ + keep, read_end - pos));
    }
    const std::size_t got = fill(fd, mode, pos, data_, want, outcome.read_failed);
    const std::uint64_t in_range = std::min(pos + got, limit) - std::min(pos, limit);
    outcome.bytes += in_range;
    std::uint8_t* const buf = data_ - carried;
    const std::size_t end = carried + got;
    const std::uint64_t base = pos - carried;
    pos += got;
    if (got > 0) {
      plant_pattern_copy(buf, end, pattern_, plan_);
      const block_job job{buf, end, &pattern_, &plan_, plan_.anchors};
      // Nothing is read past limit + m - 1, so every occurrence found here starts before
      // `limit`: those starting later belong to the next range, which reads them whole.
      const std::size_t count = matcher_.search(job, starts_.get()).matches;
      if (!sink.on_block(starts_.get(), count, base, in_range)) {
        outcome.stopped = true;
        break;
      }
    }
    if (outcome.read_failed) break;
    if (got < want) {
      outcome.at_end = true;
      break;
    }
    if (pos >= read_end) break;
    // Carry the last m-1 bytes so occurrences straddling the boundary are found; a window
    // starting in the carried tail ends in new data, so none is reported twice.
    std::memmove(data_ - keep, buf + end - keep, keep);
    carried = keep;
  }
  outcome.end_offset = pos;
  return outcome;
}

}  // namespace bytrove
