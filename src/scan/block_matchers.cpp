// The block matchers behind the seam in block_matcher.h: one pattern (a vector filter or the
// skip loop, chosen block by block; a one-byte pattern can also be counted without listing),
// a set of patterns, and brace patterns (alone or in a set).

#include <emmintrin.h>

#include <algorithm>
#include <vector>

#include "scan/adaptive_matcher.h"
#include "scan/block_matcher.h"
#include "scan/extended_matcher.h"
#include "scan/matcher.h"
#include "scan/set_matcher.h"

namespace bytrove {
namespace {

// How many of bytes[0, size) match `value` once ORed with `fold` (0x20 for a folded letter).
std::size_t count_byte(const std::uint8_t* bytes, std::size_t size, std::uint8_t value,
                       std::uint8_t fold) {
  std::size_t n = 0;
  std::size_t i = 0;
#ifdef __SSE2__
  // Each match subtracts -1 from its byte lane; the lanes are summed before they can wrap.
  const __m128i want = _mm_set1_epi8(static_cast<char>(value));
  const __m128i or_mask = _mm_set1_epi8(static_cast<char>(fold));
  while (i + 16 <= size) {
    __m128i lanes = _mm_setzero_si128();
    const std::size_t stop = std::min(size - 15, i + 255 * 16);
    for (; i < stop; i += 16) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
      lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(_mm_or_si128(x, or_mask), want));
    }
    const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
    n += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
         static_cast<std::size_t>(_mm_extract_epi16(sums, 4));
  }
#endif
  for (; i < size; ++i) n += (bytes[i] | fold) == value ? 1 : 0;
  return n;
}

// One pattern: its concrete bytes are planted after the data, then the adaptive matcher
// lists every occurrence.
class single_block_matcher final : public block_matcher {
 public:
  single_block_matcher(const compiled_pattern& pattern, const search_plan& plan, matcher_kind kind,
                       std::size_t capacity)
      : pattern_(pattern),
        plan_(plan),
        matcher_(kind == matcher_kind::horspool ? nullptr : select_block_search(kind),
                 kind == matcher_kind::automatic),
        starts_(new std::uint32_t[capacity]) {}

  bool search(const block_to_search& block, found_block& found, hit_receiver& receiver) override {
    if (count_only_) return count(block, found, receiver);
    plant_pattern_copy(block.buf, found.size, pattern_, plan_);
    const block_job job{block.buf, found.size, &pattern_, &plan_, plan_.anchors};
    found.starts = starts_.get();
    found.count = matcher_.search(job, starts_.get()).matches;
    return receiver.take(found);
  }

  void count_only(bool on) override { count_only_ = on && pattern_.length == 1; }

 private:
  // Only the occurrences in [from, limit) that end in new data, without listing them.
  bool count(const block_to_search& block, found_block& found, hit_receiver& receiver) const {
    const std::uint64_t lo = std::max<std::uint64_t>(found.base + block.carried, block.from);
    const std::uint64_t hi = std::min<std::uint64_t>(found.base + found.size, block.limit);
    if (hi > lo) {
      found.count = count_byte(block.buf + (lo - found.base), static_cast<std::size_t>(hi - lo),
                               plan_.order_byte[0], plan_.order_or[0]);
    }
    return receiver.take(found);
  }

  const compiled_pattern& pattern_;
  const search_plan& plan_;
  adaptive_matcher matcher_;
  std::unique_ptr<std::uint32_t[]> starts_;
  bool count_only_ = false;
};

// A set of plain patterns, through the set matcher's filters.
class set_block_matcher final : public block_matcher {
 public:
  set_block_matcher(const set_matcher& set, std::size_t length, std::size_t capacity)
      : set_(set),
        keep_(length - 1),
        capacity_(capacity),
        starts_(new std::uint32_t[capacity]),
        members_(new std::uint32_t[capacity]) {}

  // The set's hits come in order, as many at a time as there is room for. A longer member
  // that starts in the last m-1 bytes may be completed only by the next block while a shorter
  // one after it is already whole: the hits starting there are held back and reported with the
  // next block, which carries those bytes and so is searched from its first byte. The order is
  // then the same whatever the block edges, or however a stream's data arrives.
  bool search(const block_to_search& block, found_block& found, hit_receiver& receiver) override {
    const std::size_t held_from =
        block.last ? found.size : found.size - std::min(keep_, found.size);
    for (std::size_t next = 0;;) {
      const set_matcher::result r = set_.search(block.buf, found.size, next, 0, starts_.get(),
                                                members_.get(), capacity_, work_);
      found.starts = starts_.get();
      found.members = members_.get();
      found.count = static_cast<std::size_t>(
          std::lower_bound(found.starts, found.starts + r.count, held_from) - found.starts);
      if (!receiver.take(found)) return false;
      found.bytes = 0;  // counted once per block
      next = r.next;
      if (next >= held_from) return true;
    }
  }

  bool holds_back_tail() const override { return true; }

 private:
  const set_matcher& set_;
  std::size_t keep_;
  std::size_t capacity_;
  std::unique_ptr<std::uint32_t[]> starts_;
  std::unique_ptr<std::uint32_t[]> members_;
  set_matcher::work_buffers work_;
};

// Brace patterns: the extended matcher keeps its own hit lists in this thread's state. An
// occurrence may be far shorter than the span, so one that starts later can be whole before an
// earlier, longer one is: as with a set, the hits starting in the last span-1 bytes are held
// back and handed out with the next block, which carries those bytes. A live stream that has
// paused hands out the held hits up to the first start still undecided, so a result shows as
// soon as it and everything before it is known.
class extended_block_matcher final : public block_matcher {
 public:
  extended_block_matcher(const extended_matcher& matcher, matcher_kind kind, std::size_t length)
      : matcher_(matcher), state_(kind), keep_(length - 1) {}

  bool search(const block_to_search& block, found_block& found, hit_receiver& receiver) override {
    // Nothing carried: a new scan (or a one-byte span), with nothing handed out yet.
    if (block.carried == 0) handed_to_ = found.base;
    const std::size_t first = static_cast<std::size_t>(
        std::min<std::uint64_t>(handed_to_ - std::min(handed_to_, found.base), found.size));
    matcher_.search(block.buf, found.size, first, state_);
    std::size_t held_from = block.last ? found.size : found.size - std::min(keep_, found.size);
    const auto& starts = state_.starts;
    if (found.pause && !starts.empty() && starts.back() >= held_from) {
      held_from = matcher_.first_open_start(block.buf, found.size, std::max(first, held_from),
                                            std::size_t{starts.back()} + 1, state_);
    }
    handed_to_ = std::max(handed_to_, found.base + held_from);
    found.starts = starts.data();
    found.lengths = state_.lengths.data();
    found.members = matcher_.is_set() ? state_.members.data() : nullptr;
    found.count = static_cast<std::size_t>(
        std::lower_bound(starts.begin(), starts.end(), held_from) - starts.begin());
    return receiver.take(found);
  }

  bool holds_back_tail() const override { return true; }
  bool finds_short_occurrences() const override { return true; }

 private:
  const extended_matcher& matcher_;
  extended_matcher::state state_;
  std::size_t keep_;
  std::uint64_t handed_to_ = 0;  // input offset: starts below it were handed out
};

}  // namespace

std::unique_ptr<block_matcher> make_block_matcher(const search_target& target, matcher_kind kind,
                                                  std::size_t capacity) {
  if (target.extended != nullptr) {
    return std::make_unique<extended_block_matcher>(*target.extended, kind, target.length);
  }
  if (target.set != nullptr) {
    return std::make_unique<set_block_matcher>(*target.set, target.length, capacity);
  }
  return std::make_unique<single_block_matcher>(*target.pattern, *target.plan, kind, capacity);
}

}  // namespace bytrove
