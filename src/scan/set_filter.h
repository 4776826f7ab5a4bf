#pragma once
// The pieces of the set matcher's filters shared between set_matcher.cpp and the files built
// for wider instruction sets (set_filter_*.cpp).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bytrove {

// A member's fingerprint: a window of up to 8 bytes at `offset` in the member (up to 4 for the
// bucket filter). The 8 bytes x at a place match it when (x & mask) == value (little-endian);
// mask is 0 under a wildcard and past the window, 0xDF under a folded letter, whose value is
// then the upper case.
struct member_key {
  std::uint64_t value = 0;
  std::uint64_t mask = 0;
  // The member's first 8 positions (all of it when m <= 8) in the same form, compared at the
  // start before the member's plan is read: most candidates fail here, in a cache line the
  // key shares.
  std::uint64_t head_value = 0;
  std::uint64_t head_mask = 0;
  std::int16_t offset = 0;  // of the fingerprint in the member
  std::int16_t length = 0;  // of the member (m)
  std::uint32_t index = 0;  // of the member in its set
};

// Nibble tables of the bucket filter: for group g (8 buckets each) and fingerprint byte j, a
// byte x may be byte j of a fingerprint in bucket 8g+k only if bit k is set in both
// low[g][j][x & 15] and high[g][j][x >> 4].
inline constexpr int k_max_bucket_groups = 4;
inline constexpr int k_fingerprint_bytes = 4;
struct bucket_tables {
  int groups = 1;  // 1, 2 or 4
  alignas(32) std::uint8_t low[k_max_bucket_groups][k_fingerprint_bytes][16] = {};
  alignas(32) std::uint8_t high[k_max_bucket_groups][k_fingerprint_bytes][16] = {};
};

// Writes every place f in [begin, end) where some bucket may hold a fingerprint starting at f
// to places[], with its bucket bits (bit b: bucket b) to buckets[]; returns how many. Reads
// buf[begin, end + 35).
using bucket_scan_fn = std::size_t (*)(const bucket_tables& tables, const std::uint8_t* buf,
                                       std::size_t begin, std::size_t end, std::uint32_t* places,
                                       std::uint32_t* buckets);
std::size_t bucket_scan_ssse3(const bucket_tables& tables, const std::uint8_t* buf,
                              std::size_t begin, std::size_t end, std::uint32_t* places,
                              std::uint32_t* buckets);
std::size_t bucket_scan_avx2(const bucket_tables& tables, const std::uint8_t* buf,
                             std::size_t begin, std::size_t end, std::uint32_t* places,
                             std::uint32_t* buckets);
std::size_t bucket_scan_avx512(const bucket_tables& tables, const std::uint8_t* buf,
                               std::size_t begin, std::size_t end, std::uint32_t* places,
                               std::uint32_t* buckets);

// The hashed filter for fingerprints that compare the same bytes, looked for at every
// stride-th place. A place's window is summed into 32 bits (window_sum); the top bits of the
// sum pick a 32-bit word of `bitmap`, and two bits of that word, picked by a second mix of the
// sum (probe_bits), must both be set: a blocked Bloom filter, so that one word fetched per place
// says as much as a plain bitmap eight times its size, and the table stays in the fast caches
// next to the data. `sums` holds the fingerprints' sums, sorted, and `keys` the fingerprints in
// the same order; the keys with sum s are among
// keys[directory[s >> directory_shift] .. directory[(s >> directory_shift) + 1]).
struct hashed_table {
  int stride = 1;          // 1, 2 or 4
  std::uint64_t mask = 0;  // applied to the 8 bytes at a place before summing
  int word_shift = 32;     // the word of a sum s: s >> word_shift
  int directory_shift = 0;
  std::vector<std::uint32_t> bitmap;  // 32-bit words, so that a vector gather can fetch them
  std::vector<std::uint32_t> directory;
  std::vector<std::uint32_t> sums;
  std::vector<member_key> keys;
};

// A sum of 8 bytes that 32-bit vector lanes compute as cheaply: the low and the high half are
// each multiplied by an odd constant. Its top bits pick the word; a product of the whole sum
// with a third constant gives the two bits, from its top ten bits, which every bit of the sum
// moves (its low bits would depend on the window's low bytes alone).
inline constexpr std::uint32_t k_hash_low = 0x9E3779B1u;
inline constexpr std::uint32_t k_hash_high = 0x85EBCA77u;
inline constexpr std::uint32_t k_hash_bits = 0xC2B2AE3Du;
inline std::uint32_t window_sum(std::uint64_t masked) {
  return static_cast<std::uint32_t>(masked) * k_hash_low +
         static_cast<std::uint32_t>(masked >> 32) * k_hash_high;
}
inline std::uint32_t probe_bits(std::uint32_t sum) {
  const std::uint32_t t = sum * k_hash_bits;
  return 1u << (t >> 27) | 1u << ((t >> 22) & 31);
}
inline bool in_bitmap(const hashed_table& table, std::uint32_t sum) {
  const std::uint32_t bits = probe_bits(sum);
  return (table.bitmap[sum >> table.word_shift] & bits) == bits;
}

// Writes every stride-th place f in [begin, end) (f a multiple of the stride) whose sum passes
// the bitmap to places[], with the sum to sums[]; returns how many. Reads buf[begin, end + 40).
using hashed_scan_fn = std::size_t (*)(const hashed_table& table, const std::uint8_t* buf,
                                       std::size_t begin, std::size_t end, std::uint32_t* places,
                                       std::uint32_t* sums);
std::size_t hashed_scan_scalar(const hashed_table& table, const std::uint8_t* buf,
                               std::size_t begin, std::size_t end, std::uint32_t* places,
                               std::uint32_t* sums);
std::size_t hashed_scan_avx2(const hashed_table& table, const std::uint8_t* buf, std::size_t begin,
                             std::size_t end, std::uint32_t* places, std::uint32_t* sums);
std::size_t hashed_scan_avx512(const hashed_table& table, const std::uint8_t* buf,
                               std::size_t begin, std::size_t end, std::uint32_t* places,
                               std::uint32_t* sums);

}  // namespace bytrove
