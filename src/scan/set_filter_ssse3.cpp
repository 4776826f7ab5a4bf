// The set matcher's bucket filter with SSSE3 (the byte shuffle it needs is not in SSE2): 16
// places per step. Built with -mssse3; called only after the CPU has been checked.
#include <tmmintrin.h>

#include "scan/set_filter_impl.h"

namespace bytrove {
namespace {

struct ssse3_ops {
  using vec = __m128i;
  static constexpr std::size_t width = 16;
  static vec splat(int byte) { return _mm_set1_epi8(static_cast<char>(byte)); }
  static vec table(const std::uint8_t* entries) {
    return _mm_loadu_si128(reinterpret_cast<const vec*>(entries));
  }
  static vec load(const std::uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const vec*>(p));
  }
  static vec bit_or(vec a, vec b) { return _mm_or_si128(a, b); }
  static vec bit_and(vec a, vec b) { return _mm_and_si128(a, b); }
  static vec shift_right_4(vec a) { return _mm_srli_epi16(a, 4); }
  static vec lookup(vec table, vec index) { return _mm_shuffle_epi8(table, index); }
  static std::uint64_t nonzero_bits(vec a) {
    const vec zero = _mm_cmpeq_epi8(a, _mm_setzero_si128());
    return ~static_cast<std::uint32_t>(_mm_movemask_epi8(zero)) & 0xFFFFu;
  }
  static void store(std::uint8_t* p, vec a) { _mm_store_si128(reinterpret_cast<vec*>(p), a); }
};

}  // namespace

std::size_t bucket_scan_ssse3(const bucket_tables& tables, const std::uint8_t* buf,
                              std::size_t begin, std::size_t end, std::uint32_t* places,
                              std::uint32_t* buckets) {
  return bucket_scan_vector<ssse3_ops>(tables, buf, begin, end, places, buckets);
}

}  // namespace bytrove
