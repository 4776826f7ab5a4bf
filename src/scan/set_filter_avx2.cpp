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

namespace bytrove {
namespace {

// The 8-byte windows at 8 places f, f + s, ..., f + 7s as two vectors of 32-bit lanes: the
// low halves and the high halves. At stride 4 two loads give them directly; at strides 1 and
// 2 each 128-bit half of the register holds 16 bytes (from f and from f + 4s) and a shuffle
// picks each lane's bytes.
struct windows {
  __m256i low;
  __m256i high;
};

template <std::size_t stride>
windows windows_at(const std::uint8_t* p) {
  if constexpr (stride == 4) {
    return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 4))};
  } else {
    const __m256i bytes = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4 * stride)), 1);
    constexpr auto s = static_cast<char>(stride);
    auto lane = [](char base) {
      return _mm_setr_epi8(base, static_cast<char>(base + 1), static_cast<char>(base + 2),
                           static_cast<char>(base + 3), static_cast<char>(base + s),
                           static_cast<char>(base + s + 1), static_cast<char>(base + s + 2),
                           static_cast<char>(base + s + 3), static_cast<char>(base + 2 * s),
                           static_cast<char>(base + 2 * s + 1), static_cast<char>(base + 2 * s + 2),
                           static_cast<char>(base + 2 * s + 3), static_cast<char>(base + 3 * s),
                           static_cast<char>(base + 3 * s + 1), static_cast<char>(base + 3 * s + 2),
                           static_cast<char>(base + 3 * s + 3));
    };
    const __m256i low_index = _mm256_broadcastsi128_si256(lane(0));
    const __m256i high_index = _mm256_broadcastsi128_si256(lane(4));
    return {_mm256_shuffle_epi8(bytes, low_index), _mm256_shuffle_epi8(bytes, high_index)};
  }
}

// The lanes of `sums` whose probe bits are all set in their bitmap words, as a lane mask.
std::uint32_t passing(const hashed_table& table, __m256i sums) {
  const auto* bitmap = reinterpret_cast<const int*>(table.bitmap.data());
  const __m256i word = _mm256_i32gather_epi32(
      bitmap, _mm256_srl_epi32(sums, _mm_cvtsi32_si128(table.word_shift)), 4);
  const __m256i mixed = _mm256_mullo_epi32(sums, _mm256_set1_epi32(static_cast<int>(k_hash_bits)));
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i first = _mm256_sllv_epi32(one, _mm256_srli_epi32(mixed, 27));
  const __m256i second =
      _mm256_sllv_epi32(one, _mm256_and_si256(_mm256_srli_epi32(mixed, 22), _mm256_set1_epi32(31)));
  const __m256i bits = _mm256_or_si256(first, second);
  const __m256i pass = _mm256_cmpeq_epi32(_mm256_and_si256(word, bits), bits);
  return static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(pass)));
}

template <std::size_t stride>
std::size_t hashed_scan_stride(const hashed_table& table, const std::uint8_t* buf,
                               std::size_t begin, std::size_t end, std::uint32_t* places,
                               std::uint32_t* sums) {
  const __m256i mask_low = _mm256_set1_epi32(static_cast<int>(table.mask & 0xFFFFFFFFu));
  const __m256i mask_high = _mm256_set1_epi32(static_cast<int>(table.mask >> 32));
  const __m256i multiplier_low = _mm256_set1_epi32(static_cast<int>(k_hash_low));
  const __m256i multiplier_high = _mm256_set1_epi32(static_cast<int>(k_hash_high));
  std::size_t count = 0;
  std::size_t f = (begin + stride - 1) / stride * stride;
  for (; f + 8 * stride <= end; f += 8 * stride) {
    const windows w = windows_at<stride>(buf + f);
    const __m256i sum =
        _mm256_add_epi32(_mm256_mullo_epi32(_mm256_and_si256(w.low, mask_low), multiplier_low),
                         _mm256_mullo_epi32(_mm256_and_si256(w.high, mask_high), multiplier_high));
    std::uint32_t found = passing(table, sum);
    if (found == 0) continue;
    alignas(32) std::uint32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sum);
    while (found != 0) {
      const auto k = static_cast<std::size_t>(__builtin_ctz(found));
      found &= found - 1;
      places[count] = static_cast<std::uint32_t>(f + k * stride);
      sums[count] = lanes[k];
      ++count;
    }
  }
  // The last few places one by one.
  return count + hashed_scan_scalar(table, buf, f, end, places + count, sums + count);
}

}  // namespace

std::size_t hashed_scan_avx2(const hashed_table& table, const std::uint8_t* buf, std::size_t begin,
                             std::size_t end, std::uint32_t* places, std::uint32_t* sums) {
  switch (table.stride) {
    case 4:
      return hashed_scan_stride<4>(table, buf, begin, end, places, sums);
    case 2:
      return hashed_scan_stride<2>(table, buf, begin, end, places, sums);
    default:
      return hashed_scan_stride<1>(table, buf, begin, end, places, sums);
  }
}

}  // namespace bytrove
