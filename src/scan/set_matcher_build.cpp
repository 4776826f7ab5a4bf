// Building the set matcher's tables: fingerprints, buckets and hash tables.
#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <numeric>
#include <utility>

#include "pattern/byte_frequency.h"
#include "scan/bucket_plan.h"
#include "scan/set_matcher.h"

namespace bytrove {
namespace {

// Up to this many members the bucket filter alone is used where the CPU has it; past it the
// buckets hold so many fingerprints each that their nibble tables pass most places. In larger
// sets it takes the members the strided table cannot, up to as many.
constexpr std::size_t k_bucket_member_limit = 160;
// A strided table looks at every 4th (or 2nd) place; a member there has 4 (2) windows at
// consecutive offsets, so one of them lies at such a place in every occurrence.
constexpr int k_strides[] = {4, 2};
// Each of those windows must be at least this unlikely to match a place, in bits; a weaker
// member goes to the buckets or is looked for at every place. Measured with 10,000 random
// 8-byte patterns over shared libraries: 16 and 20 sent so many members to the slower passes
// that the search was 15% and 35% slower than with 12.
constexpr double k_min_window_bits = 12;
// The size of a hashed table's bitmap: bits per fingerprint, and at most 2^k_max_bitmap_bits.
constexpr std::size_t k_bitmap_bits_per_key = 64;
// Measured with 10,000 random 8-byte patterns (40,000 fingerprints) on real binaries: 2^21 bits
// let through twice the candidates of 2^22 and searched some 7 % slower on one thread.
constexpr int k_max_bitmap_bits = 22;

// A member's positions as the set's tables hold them.
struct member_bytes {
  const std::uint8_t* value;
  const std::uint8_t* mask;  // 0 under a wildcard, 0xDF under a folded letter
  int length;
  int wild_end;
};

member_bytes bytes_of(const pattern_set& set, std::uint32_t i) {
  const set_member& member = set.members[i];
  return {set.values.data() + member.first, set.masks.data() + member.first, member.length,
          member.wild_end};
}

// How unlikely a byte is, in bits, from the byte frequency table: [value] for a byte,
// [256 + value] for a folded letter (value in upper case; either case counts).
const std::array<double, 512>& byte_bits() {
  static const std::array<double, 512> bits = [] {
    std::array<double, 512> b{};
    const double total = std::accumulate(byte_frequency.begin(), byte_frequency.end(), 0.0);
    for (std::size_t v = 0; v < 256; ++v) {
      b[v] = std::log2(total / byte_frequency[v]);
      b[256 + v] = std::log2(total / (byte_frequency[v] + byte_frequency[v | 0x20]));
    }
    return b;
  }();
  return bits;
}

// How unlikely the window [p, p + width) of the member is to match a place, in bits, from the
// byte frequency table. A byte repeating one of the three before it adds a quarter of its
// own: runs of zeros, fills and short periods (ab ab ab) make such windows far more common
// than independent bytes would be.
double window_bits(const member_bytes& b, int p, int width) {
  const std::array<double, 512>& bits = byte_bits();
  double sum = 0;
  for (int q = p; q < p + width; ++q) {
    if (b.mask[q] == 0) continue;
    const double own = bits[b.value[q] + (b.mask[q] == 0xDF ? 256u : 0u)];
    bool repeats = false;
    for (int d = 1; d <= 3 && q - d >= p; ++d) {
      repeats = repeats || (b.value[q - d] == b.value[q] && b.mask[q - d] == b.mask[q]);
    }
    sum += repeats ? own / 4 : own;
  }
  return sum;
}

// For each window [p, p + width) of the member, whether the same bytes stand at another offset
// of it too. Such a window comes from a repeated stretch (ab ab ab, a fill), and data made of
// that stretch holds the window at every period while the member never occurs: it counts an
// eighth, so that a window the member holds once, where the repetition ends, is chosen.
//
// The scores of every window of `width` bytes: window_bits, an eighth of it when repeated.
// Kept on the stack: a set of many members computes them for each.
struct window_score_list {
  std::array<double, k_max_positions> score;
  double operator[](int p) const { return score[static_cast<std::size_t>(p)]; }
};

window_score_list window_scores(const member_bytes& b, int width) {
  const int count = std::max(0, b.length - width + 1);
  struct window {
    std::uint64_t value;
    std::uint64_t mask;
    int p;
    bool operator<(const window& o) const {
      return value < o.value || (value == o.value && mask < o.mask);
    }
  };
  std::array<window, k_max_positions> windows;
  for (int p = 0; p < count; ++p) {
    window& w = windows[static_cast<std::size_t>(p)];
    w = {0, 0, p};
    for (int j = 0; j < width; ++j) {
      w.value |= std::uint64_t{b.value[p + j]} << (8 * j);
      w.mask |= std::uint64_t{b.mask[p + j]} << (8 * j);
    }
  }
  const auto end = windows.begin() + count;
  std::sort(windows.begin(), end);
  std::array<bool, k_max_positions> repeated{};
  for (auto w = windows.begin() + 1; w < end; ++w) {
    if ((w - 1)->value != w->value || (w - 1)->mask != w->mask) continue;
    repeated[static_cast<std::size_t>(w->p)] = true;
    repeated[static_cast<std::size_t>((w - 1)->p)] = true;
  }
  window_score_list scores;
  for (int p = 0; p < count; ++p) {
    const double bits = window_bits(b, p, width);
    scores.score[static_cast<std::size_t>(p)] =
        repeated[static_cast<std::size_t>(p)] ? bits / 8 : bits;
  }
  return scores;
}

// The positions [p, p + width) as 8 bytes to compare: (x & mask) == value.
void window_bytes(const member_bytes& b, int p, int width, std::uint64_t& value,
                  std::uint64_t& mask) {
  value = 0;
  mask = 0;
  for (int j = 0; j < width; ++j) {
    value |= std::uint64_t{b.value[p + j]} << (8 * j);
    mask |= std::uint64_t{b.mask[p + j]} << (8 * j);
  }
}

member_key key_at(const member_bytes& b, int p, int width, std::uint32_t index) {
  member_key key;
  key.offset = static_cast<std::int16_t>(p);
  key.length = static_cast<std::int16_t>(b.length);
  key.index = index;
  window_bytes(b, p, width, key.value, key.mask);
  window_bytes(b, 0, std::min(b.length, 8), key.head_value, key.head_mask);
  return key;
}

// The single 4-byte fingerprint (the whole member when it is shorter) least likely to match.
// On a tie the later window wins, as the end of a pattern tends to be more specific.
member_key choose_key(const member_bytes& b, std::uint32_t index) {
  const int width = std::min(b.length, k_fingerprint_bytes);
  const window_score_list scores = window_scores(b, width);
  int best = 0;
  double best_bits = -1;
  for (int p = 0; p + width <= b.length; ++p) {
    if (scores[p] >= best_bits) {
      best_bits = scores[p];
      best = p;
    }
  }
  return key_at(b, best, width, index);
}

// The first of `stride` windows of `width` bytes, all concrete, whose weakest is strongest;
// -1 when the member has no such run or the weakest is still too weak.
int strided_first(const member_bytes& b, int stride, int width) {
  const int span = stride - 1 + width;
  if (b.wild_end + span > b.length) return -1;
  const window_score_list scores = window_scores(b, width);
  int best = -1;
  double best_weakest = k_min_window_bits;
  for (int o = b.wild_end; o + span <= b.length; ++o) {
    double weakest = scores[o];
    for (int t = 1; t < stride; ++t) weakest = std::min(weakest, scores[o + t]);
    if (weakest >= best_weakest) {
      best_weakest = weakest;
      best = o;
    }
  }
  return best;
}

// The windows' width for a stride: as wide as the tail after the last wildcard of nine members
// in ten allows, 4 to 8 bytes.
int strided_width(const pattern_set& set, int stride) {
  std::vector<int> tails;
  tails.reserve(set.members.size());
  for (const set_member& member : set.members) tails.push_back(member.length - member.wild_end);
  std::nth_element(tails.begin(), tails.begin() + static_cast<std::ptrdiff_t>(tails.size() / 10),
                   tails.end());
  const int tenth = tails[tails.size() / 10];
  return std::clamp(tenth - (stride - 1), k_fingerprint_bytes, 8);
}

// A member's single fingerprint for a table looked at every place: its least likely window of
// 8 concrete bytes when its tail after the last wildcard is that long, else its least likely
// run of up to 4 concrete bytes. Windows without wildcards of few widths keep the number of
// tables, each a pass over the data, small; only when those are all weak is a window with
// wildcards taken.
member_key single_key(const member_bytes& b, std::uint32_t index) {
  const int tail = b.length - b.wild_end;
  int width = tail >= 8 ? 8 : 0;
  if (width == 0) {  // the longest run of concrete bytes, up to 4
    for (int p = 0, run = 0; p < b.length; ++p) {
      run = b.mask[p] == 0 ? 0 : run + 1;
      width = std::max(width, std::min(run, k_fingerprint_bytes));
    }
  }
  const window_score_list scores = window_scores(b, width);
  int best = -1;
  double best_bits = -1;
  for (int p = 0; p + width <= b.length; ++p) {
    bool concrete = true;
    for (int q = p; q < p + width; ++q) concrete = concrete && b.mask[q] != 0;
    if (!concrete) continue;
    if (scores[p] >= best_bits) {
      best_bits = scores[p];
      best = p;
    }
  }
  // A run of zeros (BMP: 'BM' ? ? ? ? 00 00 00 00) is worse than a window with wildcards.
  if (best_bits < k_min_window_bits) return choose_key(b, index);
  return key_at(b, best, width, index);
}

// Bitmap bits for `count` fingerprints: about 64 per fingerprint (each sets two bits of one
// word), so that some 0.1 % of places pass by a collision, up to 2^22 (512 KiB), which stays in
// the second-level cache beside the block being searched.
int bits_for(std::size_t count) {
  int bits = 10;
  while (bits < k_max_bitmap_bits && (std::size_t{1} << bits) < count * k_bitmap_bits_per_key) {
    ++bits;
  }
  return bits;
}

std::uint64_t compared_bytes(std::uint64_t mask) {
  std::uint64_t bytes = 0;
  for (int j = 0; j < 8; ++j) {
    if (((mask >> (8 * j)) & 0xFF) != 0) bytes |= std::uint64_t{0xFF} << (8 * j);
  }
  return bytes;
}

}  // namespace

set_matcher::set_matcher(const pattern_set& set, set_filter_kind kind) : set_(set) {
  any_fold_ = std::find(set.masks.begin(), set.masks.end(), 0xDF) != set.masks.end();
  __builtin_cpu_init();
  const bool has_avx2 = __builtin_cpu_supports("avx2");
  const bool has_ssse3 = __builtin_cpu_supports("ssse3");
  const bool has_avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
  bucket_scan_fn vector_scan = nullptr;
  if (kind == set_filter_kind::ssse3) {
    vector_scan = has_ssse3 ? bucket_scan_ssse3 : nullptr;
  } else if (kind != set_filter_kind::hashed && kind != set_filter_kind::hashed_avx2) {
    const bool wide = kind != set_filter_kind::avx2 && has_avx512;
    vector_scan = wide        ? bucket_scan_avx512
                  : has_avx2  ? bucket_scan_avx2
                  : has_ssse3 ? bucket_scan_ssse3
                              : nullptr;
  }
  if (kind != set_filter_kind::hashed && kind != set_filter_kind::ssse3 && has_avx2) {
    hashed_scan_ = hashed_scan_avx2;
  }
  if ((kind == set_filter_kind::automatic || kind == set_filter_kind::avx512) && has_avx512) {
    hashed_scan_ = hashed_scan_avx512;
  }
  std::vector<std::uint32_t> rest(set.members.size());
  std::iota(rest.begin(), rest.end(), 0u);
  plan_filters(rest, vector_scan);
  // The spread of the fingerprints' offsets; with none (an empty set) it stays 0.
  min_offset_ = k_max_positions;
  max_offset_ = 0;
  auto widen = [&](const member_key& key) {
    min_offset_ = std::min<int>(min_offset_, key.offset);
    max_offset_ = std::max<int>(max_offset_, key.offset);
  };
  std::for_each(bucket_keys_.begin(), bucket_keys_.end(), widen);
  for (const hashed_table& table : hashed_) {
    std::for_each(table.keys.begin(), table.keys.end(), widen);
  }
  min_offset_ = std::min(min_offset_, max_offset_);
}

// Which filter looks for which members. Small sets: the buckets alone. Otherwise members
// with strong windows go to a table looked at every 4th place, then every 2nd; the rest to the
// buckets while they are few, else to tables looked at every place. A stride-2 pass is not
// worth its cost when an every-place pass is made anyway, so its members then join that one.
void set_matcher::plan_filters(std::vector<std::uint32_t> rest, bucket_scan_fn vector_scan) {
  auto buckets_can_take = [&](const std::vector<std::uint32_t>& members) {
    return vector_scan != nullptr && members.size() <= k_bucket_member_limit;
  };
  std::vector<std::vector<member_key>> strided;
  for (const int stride : k_strides) {
    if (rest.empty() || buckets_can_take(rest)) break;
    strided.push_back(strided_keys(rest, stride));
  }
  if (!rest.empty() && buckets_can_take(rest)) {
    bucket_scan_ = vector_scan;
    build_buckets(rest);
  } else if (!rest.empty()) {
    if (strided.size() == 2) {
      for (const member_key& key : strided.back()) rest.push_back(key.index);
      std::sort(rest.begin(), rest.end());
      rest.erase(std::unique(rest.begin(), rest.end()), rest.end());
      strided.pop_back();
    }
    build_single(rest);
  }
  const std::uint64_t fold = any_fold_ ? 0xDFDFDFDFDFDFDFDFu : ~std::uint64_t{0};
  for (std::size_t k = 0; k < strided.size(); ++k) {
    if (strided[k].empty()) continue;
    const int width = strided_width(set_, k_strides[k]);
    const std::uint64_t window =
        width == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * width)) - 1;
    add_hashed_table(k_strides[k], window & fold, std::move(strided[k]));
  }
}

// The windows of the members in `members` strong enough for a table looked at every
// stride-th place; `members` keeps the others. Every window is `width` concrete bytes, so all
// compare the same bytes.
std::vector<member_key> set_matcher::strided_keys(std::vector<std::uint32_t>& members,
                                                  int stride) const {
  const int width = strided_width(set_, stride);
  std::vector<member_key> keys;
  std::vector<std::uint32_t> weak;
  for (const std::uint32_t i : members) {
    const member_bytes b = bytes_of(set_, i);
    const int first = strided_first(b, stride, width);
    if (first < 0) {
      weak.push_back(i);
      continue;
    }
    for (int t = 0; t < stride; ++t) keys.push_back(key_at(b, first + t, width, i));
  }
  members = std::move(weak);
  return keys;
}

void set_matcher::build_buckets(const std::vector<std::uint32_t>& members) {
  std::vector<member_key> keys;
  for (const std::uint32_t i : members) keys.push_back(choose_key(bytes_of(set_, i), i));
  const bucket_plan plan = plan_buckets(keys);
  buckets_ = bucket_tables_for(plan, keys);
  bucket_start_.assign(1, 0);
  bucket_keys_.clear();
  for (const std::vector<std::uint32_t>& bucket : plan.buckets) {
    for (const std::uint32_t k : bucket) bucket_keys_.push_back(keys[k]);
    bucket_start_.push_back(static_cast<std::uint32_t>(bucket_keys_.size()));
  }
}

// Members looked for at every place by their single fingerprint: one table per set of
// compared bytes, as a place is hashed through the table's mask.
void set_matcher::build_single(const std::vector<std::uint32_t>& members) {
  const std::uint64_t fold = any_fold_ ? 0xDFDFDFDFDFDFDFDFu : ~std::uint64_t{0};
  std::map<std::uint64_t, std::vector<member_key>> by_mask;
  for (const std::uint32_t i : members) {
    const member_key key = single_key(bytes_of(set_, i), i);
    by_mask[compared_bytes(key.mask) & fold].push_back(key);
  }
  for (auto& [mask, keys] : by_mask) add_hashed_table(1, mask, std::move(keys));
}

// The directory maps the top bits of a sum to its keys.
void set_matcher::add_hashed_table(int stride, std::uint64_t mask, std::vector<member_key> keys) {
  hashed_table& table = hashed_.emplace_back();
  const int bits = bits_for(keys.size());
  const int directory_bits = std::min(bits, 16);
  table.stride = stride;
  table.mask = mask;
  table.word_shift = 32 - (bits - 5);
  table.directory_shift = 32 - directory_bits;
  table.bitmap.assign((std::size_t{1} << bits) / 32, 0);
  // (sum, index of the key), sorted: keys of one sum in member order.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> order(keys.size());
  for (std::size_t k = 0; k < keys.size(); ++k) {
    order[k] = {window_sum(keys[k].value & mask), static_cast<std::uint32_t>(k)};
  }
  std::sort(order.begin(), order.end(), [&](const auto& a, const auto& b) {
    return a.first < b.first || (a.first == b.first && keys[a.second].index < keys[b.second].index);
  });
  table.directory.assign((std::size_t{1} << directory_bits) + 1, 0);
  table.sums.reserve(keys.size());
  table.keys.reserve(keys.size());
  for (const auto& [sum, k] : order) {
    table.bitmap[sum >> table.word_shift] |= probe_bits(sum);
    table.sums.push_back(sum);
    table.keys.push_back(keys[k]);
    ++table.directory[(sum >> table.directory_shift) + 1];
  }
  std::partial_sum(table.directory.begin(), table.directory.end(), table.directory.begin());
}

}  // namespace bytrove
