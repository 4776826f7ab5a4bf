#include "scan/single_matchers.h"

#include "scan/matcher.h"

namespace bytrove {

block_result search_block_horspool(const block_job& job, std::uint32_t* positions) {
  const compiled_pattern& pattern = *job.pattern;
  const search_plan& plan = *job.plan;
  const std::size_t m = static_cast<std::size_t>(pattern.length);
  const std::size_t step = static_cast<std::size_t>(plan.match_shift);
  block_result result;
  std::size_t p = find_candidate(job.buf, 0, pattern, plan);
  while (p + m <= job.end) {
    positions[result.matches++] = static_cast<std::uint32_t>(p);
    p = find_candidate(job.buf, p + step, pattern, plan);
  }
  result.candidates = result.matches;
  return result;
}

block_search_fn select_block_search(matcher_kind kind) {
  __builtin_cpu_init();
  const bool has_avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  const bool has_avx2 = __builtin_cpu_supports("avx2");
  switch (kind) {
    case matcher_kind::horspool:
      return search_block_horspool;
    case matcher_kind::sse2:
      return search_block_sse2;
    case matcher_kind::avx2:
      if (has_avx2) return search_block_avx2;
      break;
    case matcher_kind::avx512:
    case matcher_kind::automatic:
      break;
  }
  if (has_avx512) return search_block_avx512;
  if (has_avx2) return search_block_avx2;
  return search_block_sse2;
}

}  // namespace bytrove
