#pragma once

#include <cstdint>

#include "scan/block_search.h"

namespace bytrove {

// Chooses, block by block, between the vector filter and the skip loop. The filter wins on
// almost every input; it loses when the anchor bytes are common in this particular input
// (periodic data, a pattern made of the data's most common bytes), because every window then
// goes to verification while the skip loop can still jump. So when a block shows many false
// candidates, the next large block is searched with the skip loop, both are timed per byte, and
// the cheaper one searches the following blocks until the next probe. Results never depend on
// the choice: both find every occurrence.
class adaptive_matcher {
 public:
  // `vector` null: always the skip loop. `adaptive` false: always `vector`.
  adaptive_matcher(block_search_fn vector, bool adaptive)
      : vector_(vector), adaptive_(adaptive), current_(vector != nullptr ? vector
                                                                         : search_block_horspool) {}

  block_result search(const block_job& job, std::uint32_t* positions);

  // Blocks searched with the chosen matcher between two probes.
  static constexpr int k_settle_blocks = 32;
  // Blocks smaller than this are too short to time reliably; they use the current choice.
  static constexpr std::size_t k_min_probe_bytes = 64 * 1024;

 private:
  enum class phase { settled, trial_skip_loop };

  block_search_fn vector_;
  bool adaptive_;
  block_search_fn current_;
  phase phase_ = phase::settled;
  int blocks_left_ = 0;
  double vector_cost_ = 0.0;  // cycles per byte on the latest probe
};

}  // namespace bytrove
