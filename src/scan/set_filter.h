#pragma once
// The pieces of the set matcher's filters shared between set_matcher.cpp and the files built
// for wider instruction sets (set_filter_*.cpp).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bytrove {

// A member's fingerprint: up to 4 consecutive concrete bytes at `offset` in the member. The
// 4 bytes at a place x match it when (x & mask) == value (little-endian); mask is 0 past the
// fingerprint's length and 0xDF under a folded letter, whose value is then the upper case.
struct member_key {
  std::uint32_t value = 0;
  std::uint32_t mask = 0;
  std::int16_t offset = 0;  // of the fingerprint in the member
  std::int16_t length = 0;  // of the member (m)
  std::int16_t fingerprint_length = 0;  // 1..4
  std::uint32_t index = 0;              // of the member in its set
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

// The hashed filter for the fingerprints of one length: bit h of `bitmap` is set when some
// member's fingerprint hashes to h; `hashes` holds the members' hashes, sorted, and `keys` their
// keys in the same order.
struct hashed_table {
  int fingerprint_length = 4;
  std::uint32_t mask = 0;  // applied to the 4 bytes at a place before hashing
  int shift = 32;          // hash = (x & mask) * k_hash_multiplier >> shift
  std::vector<std::uint64_t> bitmap;
  std::vector<std::uint32_t> hashes;
  std::vector<member_key> keys;
};
inline constexpr std::uint32_t k_hash_multiplier = 0x9E3779B1u;

}  // namespace bytrove
