#include "scan/adaptive_matcher.h"

#include <x86intrin.h>

namespace bytrove {
namespace {

double cycles_per_byte(std::uint64_t start, std::size_t bytes) {
  return static_cast<double>(__rdtsc() - start) / static_cast<double>(bytes);
}

}  // namespace

block_result adaptive_matcher::search(const block_job& job, std::uint32_t* positions) {
  if (!adaptive_ || vector_ == nullptr) return current_(job, positions);
  if (job.end < k_min_probe_bytes) return current_(job, positions);

  if (phase_ == phase::trial_skip_loop) {
    const std::uint64_t start = __rdtsc();
    const block_result result = search_block_horspool(job, positions);
    const double skip_loop_cost = cycles_per_byte(start, job.end);
    current_ = skip_loop_cost < vector_cost_ ? search_block_horspool : vector_;
    phase_ = phase::settled;
    blocks_left_ = k_settle_blocks;
    return result;
  }
  if (blocks_left_ > 0) {
    --blocks_left_;
    return current_(job, positions);
  }
  // Probe: time the filter on this block. Few false candidates means it is at memory speed
  // and there is nothing to try.
  const std::uint64_t start = __rdtsc();
  const block_result result = vector_(job, positions);
  vector_cost_ = cycles_per_byte(start, job.end);
  if (result.candidates - result.matches <= job.end / 64) {
    current_ = vector_;
    blocks_left_ = k_settle_blocks;
  } else {
    phase_ = phase::trial_skip_loop;
  }
  return result;
}

}  // namespace bytrove
