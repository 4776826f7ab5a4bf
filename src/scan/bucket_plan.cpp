#include "scan/bucket_plan.h"

#include <algorithm>
#include <array>
#include <numeric>

#include "pattern/byte_frequency.h"

namespace bytrove {
namespace {

// Relative costs, cycles: a group of 8 buckets per byte, a check of one member at one place.
// The estimate of checks from the frequency table runs low on real files, so the group cost is
// set by measurement: with 0.2, 100 random 8-byte patterns over shared libraries got 32
// buckets and ran at 2.4 GB/s; with 0.4, 16 buckets and 2.9 GB/s.
constexpr double k_group_cycles = 0.4;
constexpr double k_check_cycles = 25;

// The nibbles a bucket accepts at each fingerprint byte, as 16-bit sets.
struct nibble_sets {
  std::array<std::uint16_t, k_fingerprint_bytes> low{};
  std::array<std::uint16_t, k_fingerprint_bytes> high{};
  std::size_t members = 0;
};

nibble_sets with_key(nibble_sets sets, const member_key& key) {
  for (int j = 0; j < k_fingerprint_bytes; ++j) {
    const auto byte_mask = static_cast<std::uint32_t>(key.mask >> (8 * j)) & 0xFF;
    const auto value = static_cast<std::uint32_t>(key.value >> (8 * j)) & 0xFF;
    const auto u = static_cast<std::size_t>(j);
    if (byte_mask == 0) {  // a wildcard or past the fingerprint: every byte may stand here
      sets.low[u] = sets.high[u] = 0xFFFF;
      continue;
    }
    sets.low[u] = static_cast<std::uint16_t>(sets.low[u] | 1u << (value & 15));
    sets.high[u] = static_cast<std::uint16_t>(sets.high[u] | 1u << (value >> 4));
    if (byte_mask == 0xDF) {  // a folded letter: the lower case too
      sets.high[u] = static_cast<std::uint16_t>(sets.high[u] | 1u << ((value | 0x20) >> 4));
    }
  }
  ++sets.members;
  return sets;
}

// The share of places in typical data that the bucket passes, bytes taken as independent.
double pass_rate(const nibble_sets& sets) {
  static const std::array<double, 256> share = [] {
    std::array<double, 256> s{};
    const double total = std::accumulate(byte_frequency.begin(), byte_frequency.end(), 0.0);
    for (std::size_t b = 0; b < 256; ++b) s[b] = byte_frequency[b] / total;
    return s;
  }();
  double rate = 1;
  for (std::size_t j = 0; j < k_fingerprint_bytes; ++j) {
    if (sets.low[j] == 0xFFFF && sets.high[j] == 0xFFFF) continue;  // every byte passes
    // Only the set nibbles: a bucket of few members has few, and planning tries every bucket
    // for every member.
    double passed = 0;
    for (unsigned high = sets.high[j]; high != 0; high &= high - 1) {
      const auto h = static_cast<std::size_t>(__builtin_ctz(high));
      for (unsigned low = sets.low[j]; low != 0; low &= low - 1) {
        passed += share[h << 4 | static_cast<std::size_t>(__builtin_ctz(low))];
      }
    }
    rate *= passed;
  }
  return rate;
}

double checks(const nibble_sets& sets) {
  return sets.members == 0 ? 0 : pass_rate(sets) * static_cast<double>(sets.members);
}

bucket_plan plan_with_groups(const std::vector<member_key>& keys,
                             const std::vector<std::uint32_t>& weakest_first, int groups) {
  bucket_plan plan;
  plan.groups = groups;
  const auto bucket_count = static_cast<std::size_t>(groups) * 8;
  plan.buckets.resize(bucket_count);
  std::vector<nibble_sets> sets(bucket_count);
  std::vector<double> current(bucket_count, 0);  // checks(sets[b])
  for (const std::uint32_t index : weakest_first) {
    std::size_t best = 0;
    double best_added = 0;
    for (std::size_t b = 0; b < bucket_count; ++b) {
      const double added = checks(with_key(sets[b], keys[index])) - current[b];
      if (b == 0 || added < best_added) {
        best = b;
        best_added = added;
      }
    }
    sets[best] = with_key(sets[best], keys[index]);
    current[best] = checks(sets[best]);
    plan.buckets[best].push_back(index);
  }
  double total_checks = 0;
  for (std::size_t b = 0; b < bucket_count; ++b) {
    total_checks += checks(sets[b]);
    std::sort(plan.buckets[b].begin(), plan.buckets[b].end());
  }
  plan.cost = groups * k_group_cycles + total_checks * k_check_cycles;
  return plan;
}

}  // namespace

bucket_plan plan_buckets(const std::vector<member_key>& keys) {
  std::vector<std::uint32_t> order(keys.size());
  std::iota(order.begin(), order.end(), 0u);
  std::vector<double> alone(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) alone[i] = pass_rate(with_key({}, keys[i]));
  std::stable_sort(order.begin(), order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return alone[a] > alone[b]; });
  bucket_plan best = plan_with_groups(keys, order, 1);
  for (const int groups : {2, k_max_bucket_groups}) {
    bucket_plan plan = plan_with_groups(keys, order, groups);
    if (plan.cost < best.cost) best = std::move(plan);
  }
  return best;
}

bucket_tables bucket_tables_for(const bucket_plan& plan, const std::vector<member_key>& keys) {
  bucket_tables tables;
  tables.groups = plan.groups;
  for (std::size_t b = 0; b < plan.buckets.size(); ++b) {
    nibble_sets sets;
    for (const std::uint32_t index : plan.buckets[b]) sets = with_key(sets, keys[index]);
    const std::size_t g = b / 8;
    const auto bit = static_cast<std::uint8_t>(1u << (b % 8));
    for (std::size_t j = 0; j < k_fingerprint_bytes; ++j) {
      for (std::size_t x = 0; x < 16; ++x) {
        if (((sets.low[j] >> x) & 1) != 0) tables.low[g][j][x] |= bit;
        if (((sets.high[j] >> x) & 1) != 0) tables.high[g][j][x] |= bit;
      }
    }
  }
  return tables;
}

}  // namespace bytrove
