#pragma once

// What a parallel run may take of the machine: how many workers it starts, the block each
// reads, and how many files its read-ahead may hold open. Derived once, before the workers
// start, from the thread count asked for, the CPUs and the process's limits; the search
// itself only keeps within them.

#include <cstddef>

#include "scan/block_scanner.h"

namespace bytrove {

// Held output is kept in buffers of this size (one being filled per worker, one spare).
inline constexpr std::size_t k_held_buffer_size = std::size_t{256} << 10;

// How many workers search, and the block each reads, for `requested` threads on `cpus` CPUs.
// Threads beyond a few per CPU only wait for one another, and each holds its own buffers, so
// the workers are capped at k_threads_per_cpu per CPU (k_max_workers in all) and their blocks
// shrink until all of them fit k_worker_memory: the run's memory stays bounded whatever the
// thread count asked for. `set`: a pattern set, whose scanner keeps a pattern per occurrence.
struct worker_plan {
  unsigned workers = 1;
  std::size_t block_size = k_block_size;
};
inline constexpr unsigned k_threads_per_cpu = 4;
inline constexpr unsigned k_max_workers = 32;
inline constexpr std::size_t k_worker_memory = std::size_t{64} << 20;
worker_plan plan_workers(unsigned requested, unsigned cpus, bool set);

// How many files work read ahead of the output may hold open: what RLIMIT_NOFILE leaves after
// k_reserved_descriptors for everything else (standard streams, the directories the walk holds
// open, a pattern file), so the walk's own opens do not run out because workers ran ahead.
inline constexpr std::size_t k_reserved_descriptors = 32;
std::size_t default_open_file_budget();

}  // namespace bytrove
