#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"
#include "scan/adaptive_matcher.h"
#include "scan/block_search.h"

namespace bytrove {

// Bytes read per block. 1 MiB measured fastest here: fewer reads, and the block still fits the
// L2 cache while it is searched. The carry between blocks keeps every occurrence findable
// whatever the size.
inline constexpr std::size_t k_block_size = std::size_t{1} << 20;
inline constexpr std::uint64_t k_no_limit = ~std::uint64_t{0};

enum class read_mode {
  stream,      // read() from the descriptor's current position; offsets count from there
  positioned,  // pread() at absolute offsets: chunks of one file searched side by side
};

// What the occurrences of one block are handed to.
class block_sink {
 public:
  virtual ~block_sink() = default;
  // `count` occurrence starts, ascending, as offsets from `base` (the input offset of the
  // block's first byte, carried tail included); `bytes` is how many new bytes of the range
  // the block brought. Returns false to stop reading this input.
  virtual bool on_block(const std::uint32_t* starts, std::size_t count, std::uint64_t base,
                        std::uint64_t bytes) = 0;
};

// How one scan ended.
struct scan_outcome {
  std::uint64_t bytes = 0;       // bytes read that lie in the range [start, limit)
  std::uint64_t end_offset = 0;  // input offset just past the last byte read
  bool at_end = false;           // a read returned 0: the input ended
  bool read_failed = false;      // a read failed; what came before it was searched
  bool stopped = false;          // the sink asked to stop
};

// Reads an input in blocks and finds every occurrence of one pattern. Every read lands on a
// page-aligned address (read() into a misaligned address copies several times slower); the
// last m-1 bytes of a block are copied just before that address, so an occurrence that
// straddles two blocks is found in the second, once. Owns its buffers: one per thread.
class block_scanner {
 public:
  // `block_size` must be a multiple of 4096; smaller blocks are for tests.
  block_scanner(const compiled_pattern& pattern, const search_plan& plan, matcher_kind matcher,
                std::size_t block_size = k_block_size);

  // Searches the input on `fd` from offset `start` and reports every occurrence that starts
  // before `limit` and lies wholly in the data read. Reads until `limit` + m - 1 (so an
  // occurrence starting just before `limit` is whole) or the end of the input, whichever is
  // first; a short read is not the end, only a read that returns 0. In stream mode `start` is
  // the offset the descriptor is at (offsets are reported from it).
  scan_outcome scan(int fd, read_mode mode, std::uint64_t start, std::uint64_t limit,
                    block_sink& sink);

 private:
  struct aligned_free {
    void operator()(std::uint8_t* p) const;
  };

  const compiled_pattern& pattern_;
  const search_plan& plan_;
  std::size_t block_size_;
  std::unique_ptr<std::uint8_t, aligned_free> memory_;
  std::uint8_t* data_;  // page-aligned; the carried tail sits just before it
  std::unique_ptr<std::uint32_t[]> starts_;
  adaptive_matcher matcher_;
};

}  // namespace bytrove
