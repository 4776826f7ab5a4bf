// Building the set matcher's tables: fingerprints, buckets and hash tables.
#include <algorithm>
#include <cmath>
#include <map>

#include "pattern/byte_frequency.h"
#include "scan/bucket_plan.h"
#include "scan/set_matcher.h"

namespace bytrove {
namespace {

// Up to this many members the bucket filter is used where the CPU has it; past it the buckets
// hold so many fingerprints each that their nibble tables pass most places.
constexpr std::size_t k_bucket_member_limit = 160;

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
  for (const set_member& member : set.members) {
    keys_.push_back(choose_key(member.pattern));
    keys_.back().index = static_cast<std::uint32_t>(keys_.size() - 1);
  }
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

void set_matcher::build_buckets() {
  const bucket_plan plan = plan_buckets(keys_);
  buckets_ = bucket_tables_for(plan, keys_);
  bucket_start_.assign(1, 0);
  bucket_keys_.clear();
  for (const std::vector<std::uint32_t>& bucket : plan.buckets) {
    for (const std::uint32_t index : bucket) bucket_keys_.push_back(keys_[index]);
    bucket_start_.push_back(static_cast<std::uint32_t>(bucket_keys_.size()));
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
    std::vector<std::uint64_t> entries;  // (hash << 32 | member index), to sort
    for (const std::uint32_t i : members) {
      const std::uint32_t h = ((keys_[i].value & mask) * k_hash_multiplier) >> table.shift;
      table.bitmap[h / 64] |= std::uint64_t{1} << (h % 64);
      entries.push_back(std::uint64_t{h} << 32 | i);
    }
    std::sort(entries.begin(), entries.end());
    for (const std::uint64_t entry : entries) {
      table.hashes.push_back(static_cast<std::uint32_t>(entry >> 32));
      table.keys.push_back(keys_[static_cast<std::uint32_t>(entry)]);
    }
  }
}

}  // namespace bytrove
