#pragma once

// How the parallel engine cuts its work into tasks, as pure functions of sizes and read plans:
// which regular files are searched whole in a batch with their neighbours, how many of them a
// batch takes, and where the chunks of a larger file begin and end. Touches no file and no
// shared state; the engine calls it on the submitting thread.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "scan/read_plan.h"

namespace bytrove {

// Small files are searched in batches of up to this many, or this many bytes, per task: a task
// costs a few lock operations and, when a worker sleeps, a wake-up.
inline constexpr std::size_t k_batch_files = 32;
inline constexpr std::uint64_t k_batch_bytes = std::uint64_t{1} << 20;

// True when a batch holding `files` inputs of `bytes` in all is to be submitted now.
inline bool batch_is_full(std::size_t files, std::uint64_t bytes) {
  return files >= k_batch_files || bytes >= k_batch_bytes;
}

// True when a regular file of `size` bytes is searched whole, as one stream in a batch, rather
// than in chunks of `chunk_size`. A packed input is whole however large: its members are only
// reachable in order.
inline bool searched_whole(std::uint64_t size, std::uint64_t chunk_size, bool packed) {
  return size <= chunk_size || packed;
}

// One chunk: occurrences starting in [start, limit), after `skipped` bytes of holes.
struct chunk_range {
  std::uint64_t start = 0;
  std::uint64_t limit = 0;
  std::uint64_t skipped = 0;
};

// The chunks of a file of `size` bytes (its size when opened) whose ranges worth reading are
// `reads` (plan_reads, clipped to the range asked for; at least one): each range is cut into
// chunks of at most `chunk_size` bytes, within the part of it the file holds now; the holes
// before a range are counted by its first chunk. The last chunk reads on to `range_end`
// (k_no_limit: to the end, however far the file has grown by then). Never empty.
std::vector<chunk_range> plan_chunks(const std::vector<read_range>& reads, std::uint64_t size,
                                     std::uint64_t chunk_size, std::uint64_t range_end);

}  // namespace bytrove
