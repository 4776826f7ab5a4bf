#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pattern/pattern_set.h"
#include "scan/set_filter.h"

namespace bytrove {

// Finds every member of a pattern set in one pass over a block.
//
// Each member is reduced to fingerprints: windows of its bytes (wildcards not compared) at
// known offsets, chosen as unlikely by the byte frequency table and unlike the member's repeated
// stretches (see set_matcher_build.cpp). Filters report the places where some fingerprint may
// lie; each is checked against the fingerprints it may be (8 bytes compared at once), then
// against the member's positions in the set's tables, 8 at a time. The filters:
//  - buckets (up to 160 members, where the CPU has SSSE3, AVX2 or AVX-512): 4-byte fingerprints
//    spread over 8, 16 or 32 buckets by expected checks; nibble lookup tables give, for 16, 32
//    or 64 places at once, the buckets whose fingerprints may start there.
//  - strided hash tables (larger sets): a member with a run of concrete bytes gets 4 (or 2)
//    windows of 4-8 bytes at consecutive offsets, so a table looked at every 4th (2nd) place
//    still meets one of them in each occurrence; a blocked Bloom filter (two bits of one
//    32-bit word, both picked by a hash of the window) says where to look further (AVX2
//    hashes 8 places and gathers their bitmap words at once, AVX-512 16).
//  - members too weak for a strided table (runs of zeros, many wildcards, short) go to the
//    buckets while they are few, else to hash tables looked at every place.
// Fingerprints lie at different offsets, so a filter hit at place f is a start f - offset. The
// block is therefore searched in stripes of starts; the hits of one stripe are sorted by
// (start, member) before they are handed out, so the caller sees them in order. Memory is set
// by the set: bitmaps of up to 512 KiB per table, the keys, and per call buffers for one stripe.
// Which filters a set_matcher uses. All give identical results; they differ in speed.
enum class set_filter_kind {
  automatic,    // the widest vector instructions the CPU has
  hashed,       // hashed tables only, no vector instructions (what a CPU without SSSE3 gets)
  hashed_avx2,  // hashed tables only, searched with AVX2
  ssse3,        // the bucket filter with SSSE3, hashed tables without vector instructions
  avx2,         // the bucket filter and hashed tables with AVX2
  avx512,       // the bucket filter and stride-4 hashed tables with AVX-512, others with AVX2
};              // a kind the CPU lacks falls back to one it has

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
  // A caller that searches block after block passes the same `work` to every call: its buffers
  // are then allocated once, not allocated and freed for every block (freed memory goes back
  // to the system, and every block would fault its pages in again).
  struct work_buffers {
    std::vector<std::uint32_t> places;  // candidate arrays of the filters
    std::vector<std::uint32_t> extra;
    std::vector<std::uint64_t> hits;  // (start << 32 | member) of one stripe
  };
  result search(const std::uint8_t* buf, std::size_t len, std::size_t from, std::size_t first_end,
                std::uint32_t* starts, std::uint32_t* members, std::size_t capacity,
                work_buffers& work) const;

  // Groups of 8 buckets the bucket filter uses; 0 when the hashed filter is used.
  int bucket_groups() const { return bucket_scan_ != nullptr ? buckets_.groups : 0; }

 private:
  struct stripe;
  void collect_bucket_hits(stripe& s) const;
  void collect_hashed_hits(stripe& s) const;
  void check_member(stripe& s, std::size_t place, const member_key& key) const;
  void plan_filters(std::vector<std::uint32_t> rest, bucket_scan_fn vector_scan);
  std::vector<member_key> strided_keys(std::vector<std::uint32_t>& members, int stride) const;
  void build_buckets(const std::vector<std::uint32_t>& members);
  void build_single(const std::vector<std::uint32_t>& members);
  void add_hashed_table(int stride, std::uint64_t mask, std::vector<member_key> keys);

  const pattern_set& set_;
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
  // Hashed filter: tables looked at every 4th, 2nd or every place.
  hashed_scan_fn hashed_scan_ = hashed_scan_scalar;
  std::vector<hashed_table> hashed_;
};

}  // namespace bytrove
