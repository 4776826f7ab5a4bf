#include "scan/adaptive_matcher.h"

#include <x86intrin.h>

namespace bytrove {
namespace {

double cycles_per_byte(std::uint64_t start, std::size_t bytes) {
  return static_cast<double>(__rdtsc() - start) / static_cast<double>(bytes);
}

}  // namespace

block_result adaptive_matcher::timed(block_search_fn fn, const block_job& job,
                                     std::uint32_t* positions, double& cost) const {
  const std::uint64_t start = __rdtsc();
  const block_result result = fn(job, positions);
  cost = cycles_per_byte(start, job.end);
  return result;
}

void adaptive_matcher::settle(block_search_fn fn) {
  current_ = fn;
  phase_ = phase::settled;
  blocks_left_ = k_settle_blocks;
}

block_result adaptive_matcher::search(const block_job& table_job, std::uint32_t* positions) {
  block_job job = table_job;
  if (data_anchors_) job.anchors = anchors_;
  if (!adaptive_ || vector_ == nullptr || job.end < k_min_probe_bytes) {
    return current_(job, positions);
  }
  const auto few_false = [&](const block_result& r) {
    return r.candidates - r.matches <= job.end / 64;
  };
  double cost = 0.0;
  switch (phase_) {
    case phase::trial_data_anchors: {
      job.anchors = trial_anchors_;
      const block_result result = timed(vector_, job, positions, cost);
      if (cost < best_cost_) {
        anchors_ = trial_anchors_;
        data_anchors_ = true;
        best_cost_ = cost;
      }
      if (few_false(result)) {
        settle(vector_);
      } else {
        phase_ = phase::trial_skip_loop;
      }
      return result;
    }
    case phase::trial_skip_loop: {
      const block_result result = timed(search_block_horspool, job, positions, cost);
      settle(cost < best_cost_ ? search_block_horspool : vector_);
      return result;
    }
    case phase::settled:
      break;
  }
  if (blocks_left_ > 0) {
    --blocks_left_;
    return current_(job, positions);
  }
  // Probe: time the filter on this block. Few false candidates means it runs at memory speed
  // and there is nothing to try.
  const block_result result = timed(vector_, job, positions, best_cost_);
  if (few_false(result)) {
    settle(vector_);
  } else {
    trial_anchors_ = choose_anchors_for_data(*job.pattern, job.buf, job.end);
    phase_ = phase::trial_data_anchors;
  }
  return result;
}

}  // namespace bytrove
