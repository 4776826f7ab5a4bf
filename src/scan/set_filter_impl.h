#pragma once
// The bucket filter, written once over a few vector operations and compiled per instruction set
// (set_filter_*.cpp). Include only from those files: internal linkage keeps code built for a
// wider instruction set from being picked up by a caller built for a narrower one.

#include <cstddef>
#include <cstdint>

#include "scan/set_filter.h"

namespace bytrove {
namespace {

// The group count is a template argument so that the loops over groups unroll and the tables
// stay in registers where they fit.
template <class ops, std::size_t groups>
std::size_t bucket_scan_groups(const bucket_tables& t, const std::uint8_t* buf, std::size_t begin,
                               std::size_t end, std::uint32_t* places, std::uint32_t* buckets) {
  using vec = typename ops::vec;
  constexpr std::size_t width = ops::width;
  vec low[groups][k_fingerprint_bytes];
  vec high[groups][k_fingerprint_bytes];
  for (std::size_t g = 0; g < groups; ++g) {
    for (std::size_t j = 0; j < k_fingerprint_bytes; ++j) {
      low[g][j] = ops::table(t.low[g][j]);
      high[g][j] = ops::table(t.high[g][j]);
    }
  }
  const vec nibble = ops::splat(0x0F);
  std::size_t count = 0;
  for (std::size_t f = begin; f < end; f += width) {
    vec lo[k_fingerprint_bytes];
    vec hi[k_fingerprint_bytes];
    for (int j = 0; j < k_fingerprint_bytes; ++j) {
      const vec d = ops::load(buf + f + static_cast<std::size_t>(j));
      lo[j] = ops::bit_and(d, nibble);
      hi[j] = ops::bit_and(ops::shift_right_4(d), nibble);
    }
    vec found[groups];
    vec either = ops::splat(0);
    for (std::size_t g = 0; g < groups; ++g) {
      vec r = ops::bit_and(ops::lookup(low[g][0], lo[0]), ops::lookup(high[g][0], hi[0]));
      for (int j = 1; j < k_fingerprint_bytes; ++j) {
        r = ops::bit_and(
            r, ops::bit_and(ops::lookup(low[g][j], lo[j]), ops::lookup(high[g][j], hi[j])));
      }
      found[g] = r;
      either = ops::bit_or(either, r);
    }
    std::uint64_t any = ops::nonzero_bits(either);
    if (any == 0) continue;
    if (end - f < width) any &= (std::uint64_t{1} << (end - f)) - 1;
    alignas(32) std::uint8_t bytes[groups][width];
    for (std::size_t g = 0; g < groups; ++g) ops::store(bytes[g], found[g]);
    while (any != 0) {
      const auto lane = static_cast<std::size_t>(__builtin_ctzll(any));
      any &= any - 1;
      std::uint32_t bits = 0;
      for (std::size_t g = 0; g < groups; ++g) bits |= std::uint32_t{bytes[g][lane]} << (8 * g);
      places[count] = static_cast<std::uint32_t>(f + lane);
      buckets[count] = bits;
      ++count;
    }
  }
  return count;
}

template <class ops>
std::size_t bucket_scan_vector(const bucket_tables& t, const std::uint8_t* buf, std::size_t begin,
                               std::size_t end, std::uint32_t* places, std::uint32_t* buckets) {
  switch (t.groups) {
    case 1:
      return bucket_scan_groups<ops, 1>(t, buf, begin, end, places, buckets);
    case 2:
      return bucket_scan_groups<ops, 2>(t, buf, begin, end, places, buckets);
    default:
      return bucket_scan_groups<ops, 4>(t, buf, begin, end, places, buckets);
  }
}

}  // namespace
}  // namespace bytrove
