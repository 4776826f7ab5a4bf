#include "report/context_dump.h"

namespace bytrove {

context_dump::context_dump(const result_options& options, const pattern_names& patterns)
    : options_(options), patterns_(patterns) {
  for (const std::uint32_t m : patterns.lengths) longest_ = std::max<std::size_t>(longest_, m);
}

void context_dump::start() {
  have_data_ = false;
  history_.clear();
  pending_.clear();
}

context_bytes context_dump::bytes_around(const occurrence& o, const found_block* block) {
  const std::uint64_t lo = std::max(
      {first_offset_, options_.range_start, o.offset - std::min(o.offset, options_.context)});
  const std::uint64_t available =
      block != nullptr ? block->base + block->size : history_base_ + history_.size();
  dump_.clear();
  gather(lo, std::min(needed_end(o), available), block, dump_);
  return {lo, dump_.data(), dump_.size()};
}

// Keeps the bytes that a later occurrence's dump may need from before the next block: the
// context before anything the next block can report, and all of a waiting occurrence's.
void context_dump::keep_history(const found_block& block) {
  const std::uint64_t block_end = block.base + block.size;
  const std::uint64_t back =
      std::min<std::uint64_t>(block_end - first_offset_, longest_ - 1 + options_.context);
  std::uint64_t keep_from = block_end - back;
  if (!pending_.empty()) {
    const std::uint64_t front = pending_.front().offset;
    keep_from = std::min(keep_from, front - std::min(front - first_offset_, options_.context));
  }
  spare_.clear();
  gather(keep_from, block_end, &block, spare_);
  history_.swap(spare_);
  history_base_ = keep_from;
}

// Appends the input bytes [lo, hi) to `out`, from the kept history and the current block.
void context_dump::gather(std::uint64_t lo, std::uint64_t hi, const found_block* block,
                          std::vector<std::uint8_t>& out) const {
  const std::uint64_t split = block != nullptr ? std::max(lo, std::min(hi, block->base)) : hi;
  if (split > lo) {
    const std::uint8_t* from = history_.data() + (lo - history_base_);
    out.insert(out.end(), from, from + (split - lo));
  }
  if (split < hi) {
    const std::uint8_t* from = block->data + (split - block->base);
    out.insert(out.end(), from, from + (hi - split));
  }
}

}  // namespace bytrove
