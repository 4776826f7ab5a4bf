#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pattern/compiled_pattern.h"

namespace bytrove {

// A stretch of a regular file to read, after `skipped` bytes of holes that cannot hold any part
// of an occurrence: read as zeros, they would change nothing but the byte count.
struct read_range {
  std::uint64_t start = 0;
  std::uint64_t end = 0;  // k_no_limit for the last: read on to the end, however far that is
  std::uint64_t skipped = 0;
};

// Files smaller than this are read whole without asking where their holes are.
inline constexpr std::uint64_t k_sparse_min_size = std::uint64_t{1} << 20;

// The ranges of the regular file `fd` of `size` bytes that must be read to find every
// occurrence of `pattern`: each data segment (SEEK_DATA / SEEK_HOLE) widened by m-1 bytes on
// both sides, so an occurrence straddling a hole boundary is whole, and merged where they touch.
// Holes are only skipped when the pattern has a concrete byte other than 00; a file without
// holes, or on a file system that cannot tell, costs one lseek and is one range. May move the
// file offset: read the ranges with pread().
// `length` is m (the longest pattern's for a set); `zeros_can_match` says whether an
// occurrence can lie within zeros (then no hole is skipped).
std::vector<read_range> plan_reads(int fd, std::uint64_t size, std::size_t length,
                                   bool zeros_can_match);

// The ranges of `plan` that lie in [start, end) (`end` may be k_no_limit), the first skipping
// from `start`; the last reads on to `end`.
std::vector<read_range> clip_reads(const std::vector<read_range>& plan, std::uint64_t start,
                                   std::uint64_t end);

// True when every concrete byte of the pattern is 00, so it can match inside a hole.
bool matches_in_zeros(const compiled_pattern& pattern);

// True when a read of a regular file that returned `got` of `asked` bytes, ending at input
// offset `end`, found the file's end: a short read that ends exactly at `known_end`, the size
// the file had when it was described. One that stops before it (a network or user-space file
// system may return less than asked) or goes past it (a file that grew, a /proc file) is not.
inline bool read_ends_file(std::size_t got, std::size_t asked, std::uint64_t end,
                           std::uint64_t known_end) {
  return got < asked && end == known_end;
}

}  // namespace bytrove
