// The vector filter with AVX2: 32 windows per step. Built with -mavx2; called only after the
// CPU has been checked.
#include <immintrin.h>

#include "scan/vector_filter_impl.h"

namespace bytrove {
namespace {

struct avx2_ops {
  using vec = __m256i;
  static constexpr std::size_t width = 32;
  static vec splat(int byte) { return _mm256_set1_epi8(static_cast<char>(byte)); }
  static std::uint64_t candidates(const std::uint8_t* p1, vec mask1, vec target1,
                                  const std::uint8_t* p2, vec mask2, vec target2) {
    const vec d1 = _mm256_loadu_si256(reinterpret_cast<const vec*>(p1));
    const vec d2 = _mm256_loadu_si256(reinterpret_cast<const vec*>(p2));
    const vec eq = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_and_si256(d1, mask1), target1),
                                    _mm256_cmpeq_epi8(_mm256_and_si256(d2, mask2), target2));
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(eq));
  }
};

}  // namespace

block_result search_block_avx2(const block_job& job, std::uint32_t* positions) {
  return search_block_vector<avx2_ops>(job, positions);
}

}  // namespace bytrove
