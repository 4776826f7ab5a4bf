#pragma once

// The block searches for one pattern: the skip loop (find_candidate, matcher.h) and the vector
// filters (vector_filter_*.cpp), each a function over one block that lists every occurrence;
// adaptive_matcher chooses among them block by block. Sets and brace patterns have matchers of
// their own (set_matcher.h, extended_matcher.h); block_matcher.h puts all three behind one
// interface.

#include <cstddef>
#include <cstdint>

#include "pattern/anchors.h"
#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"

namespace bytrove {

// Which matcher searches the blocks. All give identical results; they differ in speed.
enum class matcher_kind {
  automatic,  // the vector filter where the CPU has one, falling back adaptively
  horspool,   // the skip loop with rarest-first verification (find_candidate)
  sse2,
  avx2,
  avx512,
};

// One block to search: real data in buf[0, end), the planted copy at buf[end], and at least
// k_search_slack readable bytes after end + m.
struct block_job {
  const std::uint8_t* buf = nullptr;
  std::size_t end = 0;
  const compiled_pattern* pattern = nullptr;
  const search_plan* plan = nullptr;
  vector_anchors anchors;
};

// Room a vector filter may read past the planted copy.
inline constexpr std::size_t k_search_slack = 64;

struct block_result {
  std::size_t matches = 0;     // occurrence starts written to `positions`, ascending
  std::size_t candidates = 0;  // windows the filter passed to verification
};

// Each writes the start of every occurrence wholly inside buf[0, end) to `positions`
// (room for `end` entries) in ascending order.
using block_search_fn = block_result (*)(const block_job& job, std::uint32_t* positions);

block_result search_block_horspool(const block_job& job, std::uint32_t* positions);
block_result search_block_sse2(const block_job& job, std::uint32_t* positions);
block_result search_block_avx2(const block_job& job, std::uint32_t* positions);
block_result search_block_avx512(const block_job& job, std::uint32_t* positions);

// The widest vector filter this CPU runs, for `automatic`; the named one otherwise (a named
// one the CPU lacks falls back to the widest it has). Never null.
block_search_fn select_block_search(matcher_kind kind);

}  // namespace bytrove
