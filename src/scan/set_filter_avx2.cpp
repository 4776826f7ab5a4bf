// The set matcher's bucket filter with AVX2: 32 places per step. Built with -mavx2; called only
// after the CPU has been checked.
#include <immintrin.h>

#include "scan/set_filter_impl.h"

namespace bytrove {
namespace {

struct avx2_ops {
  using vec = __m256i;
  static constexpr std::size_t width = 32;
  static vec splat(int byte) { return _mm256_set1_epi8(static_cast<char>(byte)); }
  // The same 16 entries in both halves: the shuffle looks up within each half.
  static vec table(const std::uint8_t* entries) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(entries)));
  }
  static vec load(const std::uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const vec*>(p));
  }
  static vec bit_or(vec a, vec b) { return _mm256_or_si256(a, b); }
  static vec bit_and(vec a, vec b) { return _mm256_and_si256(a, b); }
  static vec shift_right_4(vec a) { return _mm256_srli_epi16(a, 4); }
  static vec lookup(vec table, vec index) { return _mm256_shuffle_epi8(table, index); }
  static std::uint64_t nonzero_bits(vec a) {
    const vec zero = _mm256_cmpeq_epi8(a, _mm256_setzero_si256());
    return ~static_cast<std::uint32_t>(_mm256_movemask_epi8(zero)) & 0xFFFFFFFFu;
  }
  static void store(std::uint8_t* p, vec a) { _mm256_store_si256(reinterpret_cast<vec*>(p), a); }
};

}  // namespace

std::size_t bucket_scan_avx2(const bucket_tables& tables, const std::uint8_t* buf,
                             std::size_t begin, std::size_t end, std::uint32_t* places,
                             std::uint32_t* buckets) {
  return bucket_scan_vector<avx2_ops>(tables, buf, begin, end, places, buckets);
}

}  // namespace bytrove
