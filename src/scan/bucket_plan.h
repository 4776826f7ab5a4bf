#pragma once

#include <cstdint>
#include <vector>

#include "scan/set_filter.h"

namespace bytrove {

// Which members share each bucket of the bucket filter, and the filter's expected work.
struct bucket_plan {
  int groups = 1;                                   // 8 buckets each: 1, 2 or 4
  std::vector<std::vector<std::uint32_t>> buckets;  // member indices, increasing
  double cost = 0;                                  // estimated cycles per byte searched
};

// Spreads the members over buckets, greedily: the weakest fingerprint first, each into the
// bucket where it adds the fewest expected checks, estimated with the byte frequency table
// (a bucket passes a byte when both its nibbles are in the bucket's tables). Tries 8, 16 and
// 32 buckets and keeps the cheapest: more buckets cost more shuffles per byte but fewer checks.
bucket_plan plan_buckets(const std::vector<member_key>& keys);

// The nibble tables of the plan.
bucket_tables bucket_tables_for(const bucket_plan& plan, const std::vector<member_key>& keys);

}  // namespace bytrove
