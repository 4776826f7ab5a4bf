// The vector filter with AVX-512BW: 64 windows per step, the compare results come as a mask
// register directly. Built with -mavx512f -mavx512bw; called only after the CPU has been
// checked.
#include <immintrin.h>

#include "scan/vector_filter_impl.h"

namespace bytrove {
namespace {

struct avx512_ops {
  using vec = __m512i;
  static constexpr std::size_t width = 64;
  static vec splat(int byte) { return _mm512_set1_epi8(static_cast<char>(byte)); }
  static std::uint64_t candidates(const std::uint8_t* p1, vec mask1, vec target1,
                                  const std::uint8_t* p2, vec mask2, vec target2) {
    const vec d1 = _mm512_loadu_si512(p1);
    const vec d2 = _mm512_loadu_si512(p2);
    const __mmask64 first = _mm512_cmpeq_epi8_mask(_mm512_and_si512(d1, mask1), target1);
    return _mm512_mask_cmpeq_epi8_mask(first, _mm512_and_si512(d2, mask2), target2);
  }
};

}  // namespace

block_result search_block_avx512(const block_job& job, std::uint32_t* positions) {
  return search_block_vector<avx512_ops>(job, positions);
}

}  // namespace bytrove
