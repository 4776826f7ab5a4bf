#pragma once

#include <cstdint>

namespace bytrove {

// Input offsets and counts are 64-bit, so they stay exact past 4 GiB. k_no_limit is the end
// that is not set: a range read to the input's end, a span with no limit.
inline constexpr std::uint64_t k_no_limit = ~std::uint64_t{0};

}  // namespace bytrove
