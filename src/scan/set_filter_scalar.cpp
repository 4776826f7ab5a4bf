// The set matcher's hashed filter without vector instructions.
#include <cstring>

#include "scan/set_filter.h"

namespace bytrove {

std::size_t hashed_scan_scalar(const hashed_table& table, const std::uint8_t* buf,
                               std::size_t begin, std::size_t end, std::uint32_t* places,
                               std::uint32_t* sums) {
  const auto stride = static_cast<std::size_t>(table.stride);
  auto sum_at = [&](std::size_t f) {
    std::uint64_t x;
    std::memcpy(&x, buf + f, sizeof x);
    return window_sum(x & table.mask);
  };
  std::size_t count = 0;
  std::size_t f = (begin + stride - 1) / stride * stride;
  // Eight places are tested before any branch, so their bitmap loads overlap; candidates are
  // rare.
  for (; f + 8 * stride <= end; f += 8 * stride) {
    std::uint32_t found = 0;
    for (std::uint32_t k = 0; k < 8; ++k) {
      found |= std::uint32_t{in_bitmap(table, sum_at(f + k * stride))} << k;
    }
    while (found != 0) {
      const std::size_t place = f + static_cast<std::size_t>(__builtin_ctz(found)) * stride;
      found &= found - 1;
      places[count] = static_cast<std::uint32_t>(place);
      sums[count] = sum_at(place);
      ++count;
    }
  }
  for (; f < end; f += stride) {
    const std::uint32_t sum = sum_at(f);
    if (!in_bitmap(table, sum)) continue;
    places[count] = static_cast<std::uint32_t>(f);
    sums[count] = sum;
    ++count;
  }
  return count;
}

}  // namespace bytrove
