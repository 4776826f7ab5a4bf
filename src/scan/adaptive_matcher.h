#pragma once

#include <cstdint>

#include "scan/single_matchers.h"

namespace bytrove {

// Chooses, block by block, how to search. The vector filter wins on almost every input; it
// loses when its anchor bytes, chosen by the built-in frequency table, are common in this
// particular input (periodic data, a pattern made of the data's most common bytes): every
// window then goes to verification. So when a probe block shows many false candidates:
//   1. the anchors are chosen again by the byte counts of that block, and the next block is
//      searched (and timed) with them;
//   2. if candidates are still many, the block after that is searched with the skip loop,
//      which can jump where the filter cannot, and timed too;
// and the cheapest searches the following blocks until the next probe. Results never depend
// on the choice: every way finds every occurrence.
class adaptive_matcher {
 public:
  // `vector` null: always the skip loop. `adaptive` false: always `vector`.
  adaptive_matcher(block_search_fn vector, bool adaptive)
      : vector_(vector),
        adaptive_(adaptive),
        current_(vector != nullptr ? vector : search_block_horspool) {}

  // Searches one block; job.anchors are the table's, used until the data suggests better.
  block_result search(const block_job& job, std::uint32_t* positions);

  // Blocks searched with the chosen matcher between two probes.
  static constexpr int k_settle_blocks = 32;
  // Blocks smaller than this are too short to time reliably; they use the current choice.
  static constexpr std::size_t k_min_probe_bytes = 64 * 1024;

 private:
  enum class phase { settled, trial_data_anchors, trial_skip_loop };

  block_result timed(block_search_fn fn, const block_job& job, std::uint32_t* positions,
                     double& cost) const;
  void settle(block_search_fn fn);

  block_search_fn vector_;
  bool adaptive_;
  block_search_fn current_;
  phase phase_ = phase::settled;
  int blocks_left_ = 0;
  double best_cost_ = 0.0;     // cycles per byte of the cheapest way tried in this round
  bool data_anchors_ = false;  // anchors_ replace the table's
  vector_anchors anchors_;
  vector_anchors trial_anchors_;
};

}  // namespace bytrove
