#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pattern/pattern_set.h"
#include "scan/set_filter.h"

namespace bytrove {

// Finds every member of a pattern set in one pass over a block.
//
// Each member is reduced to a fingerprint: up to 4 consecutive concrete bytes, the rarest such
// run by the byte frequency table, at offset `offset` in the member. A shared filter reports
// the places where some fingerprint may start; each is checked against the members it may
// belong to (fingerprint first, then the member's own search plan). Two filters:
//  - buckets (tens to a few hundred members, where the CPU has SSSE3 or AVX2): members spread
//    over up to 32 buckets; nibble lookup tables give, for 16 or 32 places at once, the buckets
//    whose fingerprints may start there.
//  - hashed fingerprints (thousands of members, or no suitable CPU): a bitmap indexed by a
//    multiplicative hash of the fingerprint's bytes, one per fingerprint length, and a sorted
//    array from hash to members.
// Since members' fingerprints lie at different offsets, a filter hit at place f is a start
// f - offset. The block is therefore searched in stripes of starts; the hits of one stripe are
// sorted by (start, member) before they are handed out, so the caller sees them in order.
// Which filter a set_matcher uses. All give identical results; they differ in speed. A vector
// filter the CPU lacks falls back to the widest it has, then to the hashed one.
enum class set_filter_kind { automatic, hashed, ssse3, avx2 };

class set_matcher {
 public:
  explicit set_matcher(const pattern_set& set)  // builds its tables once; `set` outlives it
      : set_matcher(set, set_filter_kind::automatic) {}
  set_matcher(const pattern_set& set, set_filter_kind kind);

  struct result {
    std::size_t count;  // hits written
    std::size_t next;   // first start not yet examined (== len when the block is done)
  };

  // Finds occurrences (start s, member index i) with s >= from, s + m_i <= len and
  // s + m_i > first_end, in order of s, then i. Writes at most `capacity` of them to starts[] /
  // members[] (capacity >= number of members) and stops at a start whose hits would not all
  // fit. buf has at least 64 readable bytes after len (of any value).
  result search(const std::uint8_t* buf, std::size_t len, std::size_t from,
                std::size_t first_end, std::uint32_t* starts, std::uint32_t* members,
                std::size_t capacity) const;

  // Groups of 8 buckets the bucket filter uses; 0 when the hashed filter is used.
  int bucket_groups() const { return bucket_scan_ != nullptr ? buckets_.groups : 0; }

 private:
  struct stripe;
  void collect_bucket_hits(stripe& s) const;
  void collect_hashed_hits(stripe& s) const;
  void check_member(stripe& s, std::size_t place, const member_key& key) const;
  void build_buckets();
  void build_hashed();

  const pattern_set& set_;
  std::vector<member_key> keys_;  // one per member, same order
  bool any_fold_ = false;  // some member compares a letter regardless of case
  int min_offset_ = 0;
  int max_offset_ = 0;
  // Bucket filter (null when not used).
  bucket_scan_fn bucket_scan_ = nullptr;
  bucket_tables buckets_;
  // The keys of bucket b's members: bucket_keys_[bucket_start_[b], bucket_start_[b + 1]), kept
  // together so that a candidate's checks read one or two cache lines.
  std::vector<std::uint32_t> bucket_start_;
  std::vector<member_key> bucket_keys_;
  // Hashed filter: one table per fingerprint length 1..4 that some member has.
  std::vector<hashed_table> hashed_;
};

}  // namespace bytrove
