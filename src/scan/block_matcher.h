#pragma once

// The matcher seam: the block scanner hands every block to one block_matcher, whatever it
// searches for. A block_matcher belongs to one scanner (one thread) and holds that thread's
// state (hit lists, the adaptive choice of filter); what it searches for (the pattern and
// plan, the set matcher's tables, the brace patterns' matcher) is shared, read-only, and
// outlives it. make_block_matcher is the one place that picks an implementation: a new kind of
// target adds a class behind this interface and a case there.
//
// Cost: one virtual call per block (and one per batch of hits), never per byte.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "scan/search_target.h"
#include "scan/single_matchers.h"

namespace bytrove {

// The occurrences of one block, and the block itself.
struct found_block {
  const std::uint32_t* starts = nullptr;  // ascending offsets from `base`
  std::size_t count = 0;
  const std::uint32_t* members = nullptr;  // with a set: the pattern of each occurrence
  const std::uint32_t* lengths = nullptr;  // with brace patterns: each one's shortest match
  std::uint64_t base = 0;                  // input offset of data[0] (carried tail included)
  const std::uint8_t* data = nullptr;      // the bytes [base, base + size) of the input
  std::size_t size = 0;
  std::uint64_t bytes = 0;  // new bytes of [from, limit) the block brought
  bool pause = false;       // a live stream has nothing more for now: write what is pending
};

// One block to search: found.data[0, found.size), writable here, with room after it for a
// planted copy of the pattern and k_search_slack bytes more (overwritten).
struct block_to_search {
  std::uint8_t* buf = nullptr;  // == found.data
  std::size_t carried = 0;      // leading bytes carried from the block before
  bool last = false;            // no block follows to complete an occurrence near the end
  std::uint64_t from = 0;       // occurrences that start in [from, limit) are wanted (input
  std::uint64_t limit = 0;      // offsets); a matcher may hand out others, the receiver trims
};

// Takes a matcher's hits of one block, a batch at a time and in order. A batch that lists its
// starts is trimmed to [from, limit) by the receiver; one without (a count only) is already
// within it. Returns false to stop reading the input.
class hit_receiver {
 public:
  virtual ~hit_receiver() = default;
  virtual bool take(found_block& found) = 0;
};

class block_matcher {
 public:
  virtual ~block_matcher() = default;

  // Finds the occurrences in `block` and hands them to `receiver` in one or more batches
  // (found.starts / members / lengths / count set; found.bytes is the receiver's to clear
  // after the first batch). Each occurrence is handed out once over the blocks of a scan: one
  // that ends in the carried bytes was found with the block before. False when the receiver
  // asked to stop.
  virtual bool search(const block_to_search& block, found_block& found, hit_receiver& receiver) = 0;

  // Only the number of occurrences is wanted: a matcher that can count without listing where
  // (a one-byte pattern) then leaves found.starts null. Others ignore it.
  virtual void count_only(bool on) { (void)on; }
  // Hits near a block's end are held back until the next block (or the last): a last block
  // that brought no new bytes must still be searched for them.
  virtual bool holds_back_tail() const { return false; }
  // An occurrence may be much shorter than the target's length (brace patterns): a live
  // stream is searched as soon as any byte comes rather than once an occurrence's worth has.
  virtual bool finds_short_occurrences() const { return false; }
};

// The matcher for `target`, for one thread. `capacity` is the most positions one block can
// hold (its size with the carried tail and the overlap read ahead).
std::unique_ptr<block_matcher> make_block_matcher(const search_target& target, matcher_kind kind,
                                                  std::size_t capacity);

}  // namespace bytrove
