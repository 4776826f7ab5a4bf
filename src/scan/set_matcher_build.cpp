// Building the set matcher's tables: fingerprints, buckets and hash tables.
#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <numeric>

#include "pattern/byte_frequency.h"
#include "scan/set_matcher.h"

namespace bytrove {
namespace {

// Up to this many members the bucket filter is used where the CPU has it; past it the buckets
// hold so many fingerprints each that their nibble tables pass most places.
constexpr std::size_t k_bucket_member_limit = 160;
// Members per bucket aimed at when choosing how many groups of 8 buckets to use.
constexpr std::size_t k_members_per_bucket = 3;

// How unlikely a byte of a typical file is to match the position, in bits.
double surprise(const compiled_pattern& pattern, int position) {
  static const double total = [] {
    double sum = 0;
    for (const auto f : byte_frequency) sum += f;
    return sum;
  }();
  const auto value = static_cast<std::size_t>(pattern.value[position]);
  double count = byte_frequency[value];
  if (pattern.fold[position] == 1) count += byte_frequency[value & 0xDF];
  return std::log2(total / count);
}

// The fingerprint: the 4-byte window of the member (the whole member when it is shorter) whose
// concrete bytes are the least likely to occur together; a wildcard inside it is not compared.
// On a tie the later window wins, as the end of a pattern tends to be more specific.
member_key choose_key(const compiled_pattern& pattern) {
  const int m = pattern.length;
  const int width = std::min(m, k_fingerprint_bytes);
  int best = 0;
  double best_score = -1;
  for (int p = 0; p + width <= m; ++p) {
    double score = 0;
    for (int j = 0; j < width; ++j) {
      if (pattern.value[p + j] != k_wildcard) score += surprise(pattern, p + j);
    }
    if (score >= best_score) {
      best_score = score;
      best = p;
    }
  }
  member_key key;
  key.offset = static_cast<std::int16_t>(best);
  key.length = pattern.length;
  key.fingerprint_length = static_cast<std::int16_t>(width);
  for (int j = 0; j < width; ++j) {
    const int v = pattern.value[best + j];
    if (v == k_wildcard) continue;
    const std::uint32_t byte_mask = pattern.fold[best + j] == 1 ? 0xDFu : 0xFFu;
    key.mask |= byte_mask << (8 * j);
    key.value |= (static_cast<std::uint32_t>(v) & byte_mask) << (8 * j);
  }
  return key;
}

int concrete_bytes(std::uint32_t mask) {
  int n = 0;
  for (int j = 0; j < k_fingerprint_bytes; ++j) n += ((mask >> (8 * j)) & 0xFF) != 0 ? 1 : 0;
  return n;
}

void add_to_bucket(bucket_tables& t, int bucket, const member_key& key) {
  const int g = bucket / 8;
  const auto bit = static_cast<std::uint8_t>(1u << (bucket % 8));
  for (int j = 0; j < k_fingerprint_bytes; ++j) {
    const std::uint32_t byte_mask = (key.mask >> (8 * j)) & 0xFF;
    const std::uint32_t value = (key.value >> (8 * j)) & 0xFF;
    if (byte_mask == 0) {  // a wildcard or past the fingerprint: every byte may stand here
      for (int x = 0; x < 16; ++x) {
        t.low[g][j][x] |= bit;
        t.high[g][j][x] |= bit;
      }
      continue;
    }
    t.low[g][j][value & 15] |= bit;
    t.high[g][j][value >> 4] |= bit;
    if (byte_mask == 0xDF) t.high[g][j][(value | 0x20) >> 4] |= bit;  // the lower case too
  }
}

int bits_for(std::size_t count) {
  int bits = 10;
  while (bits < 21 && (std::size_t{1} << bits) < count * 64) ++bits;
  return bits;
}

}  // namespace

set_matcher::set_matcher(const pattern_set& set, set_filter_kind kind) : set_(set) {
  bool any_fold = false;
  for (const set_member& member : set.members) {
    for (int i = 0; i < member.pattern.length; ++i) any_fold |= member.pattern.fold[i] == 1;
  }
  any_fold_ = any_fold;
  keys_.reserve(set.members.size());
  for (const set_member& member : set.members) keys_.push_back(choose_key(member.pattern));
  for (const member_key& key : keys_) {
    max_offset_ = std::max<int>(max_offset_, key.offset);
  }
  min_offset_ = max_offset_;
  for (const member_key& key : keys_) min_offset_ = std::min<int>(min_offset_, key.offset);

  __builtin_cpu_init();
  const bool has_avx2 = __builtin_cpu_supports("avx2");
  const bool has_ssse3 = __builtin_cpu_supports("ssse3");
  const bool small = set.members.size() <= k_bucket_member_limit;
  if (kind == set_filter_kind::avx2 || (kind == set_filter_kind::automatic && small)) {
    bucket_scan_ = has_avx2 ? bucket_scan_avx2 : has_ssse3 ? bucket_scan_ssse3 : nullptr;
  } else if (kind == set_filter_kind::ssse3) {
    bucket_scan_ = has_ssse3 ? bucket_scan_ssse3 : nullptr;
  }
  if (bucket_scan_ != nullptr) {
    build_buckets();
  } else {
    build_hashed();
  }
}

// Members sorted by how many bytes their fingerprints compare, then by value, and cut into
// buckets of equal size: weak fingerprints share buckets with each other rather than spoil
// many, and similar fingerprints add few new nibbles to a bucket's tables.
void set_matcher::build_buckets() {
  const std::size_t count = keys_.size();
  const std::size_t wanted = (count + k_members_per_bucket - 1) / k_members_per_bucket;
  buckets_.groups = static_cast<int>(std::clamp<std::size_t>((wanted + 7) / 8, 1, k_max_bucket_groups));
  const std::size_t bucket_count = static_cast<std::size_t>(buckets_.groups) * 8;
  std::vector<std::uint32_t> sorted(count);
  std::iota(sorted.begin(), sorted.end(), 0u);
  std::stable_sort(sorted.begin(), sorted.end(), [&](std::uint32_t a, std::uint32_t b) {
    const int na = concrete_bytes(keys_[a].mask);
    const int nb = concrete_bytes(keys_[b].mask);
    if (na != nb) return na < nb;
    return keys_[a].value < keys_[b].value;
  });
  bucket_start_.assign(bucket_count + 1, 0);
  bucket_members_.clear();
  for (std::size_t b = 0; b < bucket_count; ++b) {
    const std::size_t first = b * count / bucket_count;
    const std::size_t last = (b + 1) * count / bucket_count;
    for (std::size_t k = first; k < last; ++k) {
      bucket_members_.push_back(sorted[k]);
      add_to_bucket(buckets_, static_cast<int>(b), keys_[sorted[k]]);
    }
    // Within a bucket, set order: hits are sorted anyway, but this keeps the checks regular.
    std::sort(bucket_members_.begin() + static_cast<std::ptrdiff_t>(first),
              bucket_members_.end());
    bucket_start_[b + 1] = static_cast<std::uint32_t>(bucket_members_.size());
  }
}

// One table per distinct set of compared bytes (almost always just "all four"): a place is
// hashed through the table's mask, so members whose fingerprints compare different bytes
// cannot share one.
void set_matcher::build_hashed() {
  const std::uint32_t fold = any_fold_ ? 0xDFDFDFDFu : 0xFFFFFFFFu;
  std::map<std::uint32_t, std::vector<std::uint32_t>> by_mask;
  for (std::uint32_t i = 0; i < keys_.size(); ++i) {
    std::uint32_t mask = 0;
    for (int j = 0; j < k_fingerprint_bytes; ++j) {
      if (((keys_[i].mask >> (8 * j)) & 0xFF) != 0) mask |= 0xFFu << (8 * j);
    }
    by_mask[mask & fold].push_back(i);
  }
  for (const auto& [mask, members] : by_mask) {
    hashed_table& table = hashed_.emplace_back();
    const int bits = bits_for(members.size());
    table.mask = mask;
    table.shift = 32 - bits;
    table.bitmap.assign((std::size_t{1} << bits) / 64, 0);
    for (const std::uint32_t i : members) {
      const std::uint32_t h = ((keys_[i].value & mask) * k_hash_multiplier) >> table.shift;
      table.bitmap[h / 64] |= std::uint64_t{1} << (h % 64);
      table.entries.push_back(std::uint64_t{h} << 32 | i);
    }
    std::sort(table.entries.begin(), table.entries.end());
  }
}

}  // namespace bytrove
