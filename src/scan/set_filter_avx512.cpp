// The set matcher's filters with AVX-512 (F and BW): the bucket filter 64 places per step, half
// the instructions of the AVX2 filter for the same nibble tables, and the hashed filter looked
// at every 4th place 16 places per step. Built with -mavx512f -mavx512bw; called only after the
// CPU has been checked. The last places short of a whole step go to the AVX2 filters, so that
// no read reaches further past `end` than theirs.
#include <immintrin.h>

// GCC 12's AVX-512 intrinsics (broadcasts, shifts, gathers) start from an undefined register,
// which its own -Wmaybe-uninitialized then reports inside any function that inlines them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "scan/set_filter_impl.h"

namespace bytrove {
namespace {

struct avx512_ops {
  using vec = __m512i;
  static constexpr std::size_t width = 64;
  static vec splat(int byte) { return _mm512_set1_epi8(static_cast<char>(byte)); }
  // The same 16 entries in all four lanes: the shuffle looks up within each lane.
  static vec table(const std::uint8_t* entries) {
    // A masked broadcast over zeros: GCC 12's plain one starts from an undefined register,
    // which its own -Wuninitialized reports.
    return _mm512_maskz_broadcast_i32x4(0xFFFF,
                                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(entries)));
  }
  static vec load(const std::uint8_t* p) { return _mm512_loadu_si512(p); }
  static vec bit_or(vec a, vec b) { return _mm512_or_si512(a, b); }
  static vec bit_and(vec a, vec b) { return _mm512_and_si512(a, b); }
  static vec shift_right_4(vec a) { return _mm512_srli_epi16(a, 4); }
  static vec lookup(vec table, vec index) { return _mm512_shuffle_epi8(table, index); }
  static std::uint64_t nonzero_bits(vec a) { return _mm512_test_epi8_mask(a, a); }
  static void store(std::uint8_t* p, vec a) { _mm512_storeu_si512(p, a); }
};

}  // namespace

std::size_t bucket_scan_avx512(const bucket_tables& tables, const std::uint8_t* buf,
                               std::size_t begin, std::size_t end, std::uint32_t* places,
                               std::uint32_t* buckets) {
  if (end <= begin) return 0;
  const std::size_t whole = begin + (end - begin) / avx512_ops::width * avx512_ops::width;
  const std::size_t count =
      bucket_scan_vector<avx512_ops>(tables, buf, begin, whole, places, buckets);
  return count + bucket_scan_avx2(tables, buf, whole, end, places + count, buckets + count);
}

// A table looked at every 4th place: 16 places per step, the windows' halves loaded directly.
// Other strides, and the last places short of a step, go to the AVX2 filter.
std::size_t hashed_scan_avx512(const hashed_table& table, const std::uint8_t* buf,
                               std::size_t begin, std::size_t end, std::uint32_t* places,
                               std::uint32_t* sums) {
  if (table.stride != 4) return hashed_scan_avx2(table, buf, begin, end, places, sums);
  const auto* bitmap = table.bitmap.data();
  const __m512i mask_low = _mm512_set1_epi32(static_cast<int>(table.mask & 0xFFFFFFFFu));
  const __m512i mask_high = _mm512_set1_epi32(static_cast<int>(table.mask >> 32));
  const __m512i multiplier_low = _mm512_set1_epi32(static_cast<int>(k_hash_low));
  const __m512i multiplier_high = _mm512_set1_epi32(static_cast<int>(k_hash_high));
  const __m512i multiplier_bits = _mm512_set1_epi32(static_cast<int>(k_hash_bits));
  const __m128i word_shift = _mm_cvtsi32_si128(table.word_shift);
  const __m512i one = _mm512_set1_epi32(1);
  const __m512i low_five = _mm512_set1_epi32(31);
  std::size_t count = 0;
  std::size_t f = (begin + 3) / 4 * 4;
  for (; f + 64 <= end; f += 64) {
    const __m512i low = _mm512_and_si512(_mm512_loadu_si512(buf + f), mask_low);
    const __m512i high = _mm512_and_si512(_mm512_loadu_si512(buf + f + 4), mask_high);
    const __m512i sum = _mm512_add_epi32(_mm512_mullo_epi32(low, multiplier_low),
                                         _mm512_mullo_epi32(high, multiplier_high));
    const __m512i word = _mm512_i32gather_epi32(_mm512_srl_epi32(sum, word_shift), bitmap, 4);
    const __m512i mixed = _mm512_mullo_epi32(sum, multiplier_bits);
    const __m512i bits = _mm512_or_si512(
        _mm512_sllv_epi32(one, _mm512_srli_epi32(mixed, 27)),
        _mm512_sllv_epi32(one, _mm512_and_si512(_mm512_srli_epi32(mixed, 22), low_five)));
    const __m512i missing = _mm512_andnot_si512(word, bits);  // probe bits not set
    auto found = static_cast<std::uint32_t>(_mm512_testn_epi32_mask(missing, missing));
    if (found == 0) continue;
    alignas(64) std::uint32_t lanes[16];
    _mm512_store_si512(lanes, sum);
    while (found != 0) {
      const auto k = static_cast<std::size_t>(__builtin_ctz(found));
      found &= found - 1;
      places[count] = static_cast<std::uint32_t>(f + 4 * k);
      sums[count] = lanes[k];
      ++count;
    }
  }
  return count + hashed_scan_avx2(table, buf, f, end, places + count, sums + count);
}

}  // namespace bytrove
