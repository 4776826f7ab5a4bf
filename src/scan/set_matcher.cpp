#include "scan/set_matcher.h"

#include <algorithm>
#include <cstring>

namespace bytrove {
namespace {

// Starts searched per stripe. The filter looks at the places of a stripe's starts plus the
// spread of fingerprint offsets, so larger stripes waste less; the candidate arrays grow
// with it. A stripe whose hits overflow the hit buffer is halved and searched again.
constexpr std::size_t k_stripe = 8192;
constexpr std::size_t k_hit_buffer = 65536;

std::uint64_t load_u64(const std::uint8_t* p) {
  std::uint64_t x;
  std::memcpy(&x, p, sizeof x);
  return x;
}

// Positions [8, m) of a member of m > 8 positions (the head key has compared the first 8):
// the last 8 first, where members that repeat a stretch (ab ab ... ab bb) tend to differ from
// data made of it, then 8 at a time from the front.
bool verify(const std::uint8_t* window, const std::uint8_t* value, const std::uint8_t* mask,
            std::size_t m) {
  std::size_t j = m - 8;
  if ((load_u64(window + j) & load_u64(mask + j)) != load_u64(value + j)) return false;
  for (j = 8; j + 8 < m; j += 8) {
    if ((load_u64(window + j) & load_u64(mask + j)) != load_u64(value + j)) return false;
  }
  return true;
}

}  // namespace

// The state of one stripe of starts [begin, end).
struct set_matcher::stripe {
  const std::uint8_t* buf;
  std::size_t len;
  std::size_t first_end;
  std::size_t begin;
  std::size_t end;
  std::vector<std::uint64_t>& hits;  // (start << 32 | member), unsorted
  std::size_t hit_limit;
  std::uint32_t* places;  // candidate arrays of the filters
  std::uint32_t* extra;
  bool overflow = false;
};

// A member whose fingerprint matches at `place`: the start it implies, if in the stripe and
// the block, verified with the member's own plan.
void set_matcher::check_member(stripe& s, std::size_t place, const member_key& key) const {
  const auto offset = static_cast<std::size_t>(key.offset);
  const auto m = static_cast<std::size_t>(key.length);
  if (place < offset) return;
  const std::size_t start = place - offset;
  if (start < s.begin || start >= s.end || start + m > s.len || start + m <= s.first_end) return;
  if ((load_u64(s.buf + start) & key.head_mask) != key.head_value) return;
  if (m > 8) {
    const std::size_t first = set_.members[key.index].first;
    if (!verify(s.buf + start, set_.values.data() + first, set_.masks.data() + first, m)) return;
  }
  if (s.hits.size() == s.hit_limit) {
    s.overflow = true;
    return;
  }
  s.hits.push_back(std::uint64_t{start} << 32 | key.index);
}

void set_matcher::collect_bucket_hits(stripe& s) const {
  const std::size_t begin = s.begin + static_cast<std::size_t>(min_offset_);
  const std::size_t end = std::min(s.end + static_cast<std::size_t>(max_offset_), s.len);
  if (begin >= end) return;
  const std::size_t count = bucket_scan_(buckets_, s.buf, begin, end, s.places, s.extra);
  for (std::size_t c = 0; c < count && !s.overflow; ++c) {
    const std::size_t place = s.places[c];
    const std::uint64_t x = load_u64(s.buf + place);
    std::uint32_t bits = s.extra[c];
    while (bits != 0) {
      const auto b = static_cast<std::size_t>(__builtin_ctz(bits));
      bits &= bits - 1;
      for (std::uint32_t k = bucket_start_[b]; k < bucket_start_[b + 1]; ++k) {
        const member_key& key = bucket_keys_[k];
        if ((x & key.mask) == key.value) check_member(s, place, key);
      }
    }
  }
}

void set_matcher::collect_hashed_hits(stripe& s) const {
  const std::size_t begin = s.begin + static_cast<std::size_t>(min_offset_);
  const std::size_t end = std::min(s.end + static_cast<std::size_t>(max_offset_), s.len);
  for (const hashed_table& table : hashed_) {
    const std::size_t count = hashed_scan_(table, s.buf, begin, end, s.places, s.extra);
    for (std::size_t c = 0; c < count && !s.overflow; ++c) {
      const std::size_t place = s.places[c];
      const std::uint64_t x = load_u64(s.buf + place);
      const std::uint32_t sum = s.extra[c];
      const std::uint32_t d = sum >> table.directory_shift;
      for (std::uint32_t k = table.directory[d]; k < table.directory[d + 1]; ++k) {
        const member_key& key = table.keys[k];
        if (table.sums[k] == sum && (x & key.mask) == key.value) check_member(s, place, key);
      }
    }
  }
}

set_matcher::result set_matcher::search(const std::uint8_t* buf, std::size_t len, std::size_t from,
                                        std::size_t first_end, std::uint32_t* starts,
                                        std::uint32_t* members, std::size_t capacity,
                                        work_buffers& work) const {
  const std::size_t spread = static_cast<std::size_t>(max_offset_ - min_offset_);
  const std::size_t member_count = set_.members.size();
  std::vector<std::uint32_t>& places = work.places;
  std::vector<std::uint32_t>& extra = work.extra;
  std::vector<std::uint64_t>& hits = work.hits;
  std::size_t count = 0;
  // A small output suggests dense hits: the first stripe is then narrow, and each stripe that
  // fits doubles the next.
  std::size_t width =
      std::clamp<std::size_t>(capacity / std::max<std::size_t>(member_count, 1), 1, k_stripe);
  std::size_t a = from;
  while (a < len) {
    // More hits than the output can take end the call anyway: buffer no more than that, but
    // always a start's worth.
    const std::size_t hit_limit = std::max(member_count, std::min(k_hit_buffer, capacity - count));
    if (places.size() < width + spread + 1) {
      places.resize(width + spread + 1);
      extra.resize(width + spread + 1);
    }
    hits.clear();
    stripe s{buf,  len,       first_end,     a,           a + std::min(width, len - a),
             hits, hit_limit, places.data(), extra.data()};
    if (bucket_scan_ != nullptr) collect_bucket_hits(s);
    collect_hashed_hits(s);
    if (s.overflow) {  // a stripe of one start holds at most one hit per member: it fits
      width = std::max<std::size_t>(1, width / 2);
      continue;
    }
    std::sort(hits.begin(), hits.end());
    for (std::size_t h = 0; h < hits.size();) {
      const std::uint64_t start = hits[h] >> 32;
      std::size_t group_end = h + 1;
      while (group_end < hits.size() && (hits[group_end] >> 32) == start) ++group_end;
      if (count + (group_end - h) > capacity) return {count, static_cast<std::size_t>(start)};
      for (; h < group_end; ++h) {
        starts[count] = static_cast<std::uint32_t>(start);
        members[count] = static_cast<std::uint32_t>(hits[h]);
        ++count;
      }
    }
    a = s.end;
    if (hits.size() < hit_limit / 4) width = std::min(k_stripe, width * 2);
  }
  return {count, len};
}

}  // namespace bytrove
