#pragma once

#include <cstddef>
#include <cstdint>

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

// Plain data for the vector filter: two anchor positions (the rarest concrete bytes by the
// frequency table; the same position twice when the pattern has one concrete byte), compared
// through a mask (0xDF for a folded letter, which accepts exactly its two cases).
struct vector_anchors {
  std::size_t pos1 = 0;
  std::size_t pos2 = 0;
  std::uint8_t byte1 = 0;
  std::uint8_t byte2 = 0;
  std::uint8_t mask1 = 0xFF;
  std::uint8_t mask2 = 0xFF;
  bool exact = false;  // the anchors cover every concrete position: a candidate is a match
};

// Anchors by the built-in byte frequency table: the choice before any data has been seen.
vector_anchors choose_anchors(const compiled_pattern& pattern);
// Anchors by the byte counts of `data`: for an input whose bytes are distributed unlike the
// table's typical files.
vector_anchors choose_anchors_for_data(const compiled_pattern& pattern, const std::uint8_t* data,
                                       std::size_t size);

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

// Parses "auto", "horspool", "sse2", "avx2", "avx512"; automatic for anything else.
matcher_kind parse_matcher_kind(const char* text);

}  // namespace bytrove
