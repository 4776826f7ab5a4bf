#pragma once

// What each thread that searches for the parallel engine keeps from task to task: its block
// scanner (block buffer and occurrence array), a spare held buffer, the per-input results of a
// worker (full, and counting ahead for later chunks under a per-input limit), the pen holder's
// results for chunks written again, and an unpacker made when first needed. Owned by one thread;
// the pen holder's (parallel_search::pen_state_) needs the pen.

#include <cstddef>
#include <memory>
#include <vector>

#include "report/input_results.h"
#include "scan/block_scanner.h"
#include "search/held_output.h"
#include "search/parallel_search.h"
#include "source/archive_reader.h"

namespace bytrove {

// A chunk that only counts keeps up to this many occurrences' offsets (48 KiB).
inline constexpr std::size_t k_replay_limit = 4096;

// What each thread that searches keeps from task to task.
struct parallel_search::worker_state {
  explicit worker_state(const parallel_search& e)
      : blocks(e.target_, e.options_.matcher, e.options_.block_size),
        results(e.results_, e.patterns_),
        tally(e.tally_, e.patterns_),
        pen_results(e.results_, e.patterns_) {
    blocks.count_only(e.results_.counts_only() && e.patterns_.names.empty());
    tally.record(k_replay_limit);
  }
  block_scanner blocks;
  std::unique_ptr<char[]> spare;  // a held buffer kept for the next task
  input_results<task_output> results;
  input_results<task_output> tally;
  input_results<output> pen_results;         // the pen holder's, for write_counted
  std::unique_ptr<archive_reader> unpacker;  // made when first needed
  // The input this worker opened last, when it was a small packed file read whole to recognise
  // it (empty otherwise): unpacking it reads nothing again.
  std::vector<std::uint8_t> whole_file;
  // This worker's count of the inputs it opened and holds (parallel_search::opened_by_workers_).
  std::atomic<unsigned>* opened = nullptr;
};

}  // namespace bytrove
