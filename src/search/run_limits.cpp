#include "search/run_limits.h"

#include <sys/resource.h>

#include <algorithm>

namespace bytrove {

worker_plan plan_workers(unsigned requested, unsigned cpus, bool set) {
  worker_plan plan;
  plan.workers =
      std::max(1u, std::min({requested, k_threads_per_cpu * std::max(cpus, 1u), k_max_workers}));
  // A worker holds its block, the offsets of a block's occurrences (4 bytes per byte: every
  // byte may match), a pattern per occurrence with a set, and two held buffers.
  const std::size_t per_byte = set ? 9 : 5;
  const std::size_t share = k_worker_memory / plan.workers - 2 * k_held_buffer_size;
  constexpr std::size_t k_min_block = std::size_t{64} << 10;
  while (plan.block_size > k_min_block && plan.block_size * per_byte > share) plan.block_size /= 2;
  return plan;
}

std::size_t default_open_file_budget() {
  constexpr rlim_t k_most = 4096;  // more buys nothing: the task window is far smaller
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return k_most;
  const rlim_t soft = limit.rlim_cur;
  const rlim_t reserved = k_reserved_descriptors;
  // A limit too small to leave the reserve still lets half of it be read ahead.
  const rlim_t room = soft > 2 * reserved ? soft - reserved : soft / 2;
  return static_cast<std::size_t>(std::clamp<rlim_t>(room, 1, k_most));
}

}  // namespace bytrove
