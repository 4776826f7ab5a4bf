#pragma once
// The vector candidate filter, written once over a small set of vector operations and
// compiled once per instruction set (vector_filter_*.cpp). Include only from those files:
// everything here has internal linkage so no code built for a wider instruction set can be
// picked up by a caller built for a narrower one.

#include <cstddef>
#include <cstdint>

#include "scan/single_matchers.h"

namespace bytrove {
namespace {

// A window at `q` matches when every concrete slot matches; same test as the skip loop's
// verification, rarest byte first, then the last position.
inline bool verify_window(const std::uint8_t* window, const search_plan& plan, int n) {
  for (int i = n - 2; i >= 0; --i) {
    if ((window[plan.order[i]] | plan.order_or[i]) != plan.order_byte[i]) return false;
  }
  return (window[plan.order[n - 1]] | plan.order_or[n - 1]) == plan.order_byte[n - 1];
}

// The filter: for `ops::width` window starts at once, compare the byte under each anchor
// (masked) with the anchor byte; every set bit of the combined mask is a candidate window.
// There is no end test: the planted copy after the data is a verified match, so the loop
// returns on it at the latest, and nothing is read past it beyond the vector width.
template <class ops>
block_result search_block_vector(const block_job& job, std::uint32_t* positions) {
  const std::uint8_t* const buf = job.buf;
  const std::size_t end = job.end;
  const std::size_t m = static_cast<std::size_t>(job.pattern->length);
  const int n = job.pattern->concrete_count;
  const search_plan& plan = *job.plan;
  const vector_anchors& a = job.anchors;
  const typename ops::vec target1 = ops::splat(a.byte1 & a.mask1);
  const typename ops::vec target2 = ops::splat(a.byte2 & a.mask2);
  const typename ops::vec mask1 = ops::splat(a.mask1);
  const typename ops::vec mask2 = ops::splat(a.mask2);
  block_result result;
  for (std::size_t p = 0;; p += ops::width) {
    std::uint64_t bits =
        ops::candidates(buf + p + a.pos1, mask1, target1, buf + p + a.pos2, mask2, target2);
    while (bits != 0) {
      const std::size_t q = p + static_cast<std::size_t>(__builtin_ctzll(bits));
      bits &= bits - 1;
      ++result.candidates;
      if (!a.exact && !verify_window(buf + q, plan, n)) continue;
      if (q + m > end) return result;
      positions[result.matches++] = static_cast<std::uint32_t>(q);
    }
  }
}

}  // namespace
}  // namespace bytrove
