// The vector filter with SSE2, which every x86-64 CPU has: 16 windows per step.
#include <emmintrin.h>

#include "scan/vector_filter_impl.h"

namespace bytrove {
namespace {

struct sse2_ops {
  using vec = __m128i;
  static constexpr std::size_t width = 16;
  static vec splat(int byte) { return _mm_set1_epi8(static_cast<char>(byte)); }
  static std::uint64_t candidates(const std::uint8_t* p1, vec mask1, vec target1,
                                  const std::uint8_t* p2, vec mask2, vec target2) {
    const vec d1 = _mm_loadu_si128(reinterpret_cast<const vec*>(p1));
    const vec d2 = _mm_loadu_si128(reinterpret_cast<const vec*>(p2));
    const vec eq = _mm_and_si128(_mm_cmpeq_epi8(_mm_and_si128(d1, mask1), target1),
                                 _mm_cmpeq_epi8(_mm_and_si128(d2, mask2), target2));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(eq));
  }
};

}  // namespace

block_result search_block_sse2(const block_job& job, std::uint32_t* positions) {
  return search_block_vector<sse2_ops>(job, positions);
}

}  // namespace bytrove
