#include "scan/read_plan.h"

#include <unistd.h>

#include <algorithm>

#include "base/offsets.h"

namespace bytrove {

bool matches_in_zeros(const compiled_pattern& pattern) {
  for (int i = 0; i < pattern.concrete_count; ++i) {
    if (pattern.value[pattern.concrete[i]] != 0) return false;
  }
  return true;
}

std::vector<read_range> plan_reads(int fd, std::uint64_t size, std::size_t length,
                                   bool zeros_can_match) {
  const std::vector<read_range> whole{{0, k_no_limit, 0}};
  if (size < k_sparse_min_size || zeros_can_match) return whole;
  const off_t first_hole = ::lseek(fd, 0, SEEK_HOLE);
  if (first_hole < 0 || static_cast<std::uint64_t>(first_hole) >= size) return whole;
  // A file that shrank since its size was taken ends where a hole seems to start: that is no
  // hole to skip. Only a file whose size holds while it is planned is planned.
  const auto size_holds = [&] {
    const off_t end = ::lseek(fd, 0, SEEK_END);
    return end >= 0 && static_cast<std::uint64_t>(end) == size;
  };
  if (!size_holds()) return whole;

  const auto reach = static_cast<std::uint64_t>(length) - 1;
  std::vector<read_range> ranges;
  std::uint64_t pos = 0;
  while (pos < size) {
    const off_t data = ::lseek(fd, static_cast<off_t>(pos), SEEK_DATA);
    if (data < 0) break;  // ENXIO: only a hole is left (or the file shrank)
    off_t hole = ::lseek(fd, data, SEEK_HOLE);
    if (hole < 0) hole = static_cast<off_t>(size);
    const auto data_start = static_cast<std::uint64_t>(data);
    const auto data_end = std::min(static_cast<std::uint64_t>(hole), size);
    if (data_start >= size || data_end <= data_start) break;
    const std::uint64_t start = data_start > reach ? data_start - reach : 0;
    const std::uint64_t end = std::min(size, data_end + reach);
    if (!ranges.empty() && start <= ranges.back().end) {
      ranges.back().end = std::max(ranges.back().end, end);
    } else {
      ranges.push_back({start, end, 0});
    }
    pos = data_end;
  }
  if (!size_holds()) return whole;
  // Skipped bytes are counted where the next read starts; the last range reads on to the end
  // so a file that grows is still read whole.
  std::uint64_t done = 0;
  for (read_range& r : ranges) {
    r.skipped = r.start - done;
    done = r.end;
  }
  if (!ranges.empty() && ranges.back().end == size) {
    ranges.back().end = k_no_limit;
  } else {
    ranges.push_back({size, k_no_limit, size - done});
  }
  return ranges;
}

}  // namespace bytrove

namespace bytrove {

std::vector<read_range> clip_reads(const std::vector<read_range>& plan, std::uint64_t start,
                                   std::uint64_t end) {
  std::vector<read_range> clipped;
  std::uint64_t done = start;
  for (const read_range& r : plan) {
    const std::uint64_t s = std::max(r.start, start);
    const std::uint64_t e = std::min(r.end, end);
    if (s >= e) continue;
    clipped.push_back({s, e, s - done});
    done = e;
  }
  // All of it in a hole: reading its zeros costs little and finds what there is to find.
  if (clipped.empty()) clipped.push_back({start, end, 0});
  return clipped;
}

}  // namespace bytrove
