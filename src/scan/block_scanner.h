#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"
#include "scan/adaptive_matcher.h"
#include "scan/block_search.h"
#include "scan/byte_stream.h"
#include "scan/extended_matcher.h"
#include "scan/search_target.h"

namespace bytrove {

// Bytes read per block. 1 MiB measured fastest here: fewer reads, and the block still fits the
// L2 cache while it is searched. The carry between blocks keeps every occurrence findable
// whatever the size.
inline constexpr std::size_t k_block_size = std::size_t{1} << 20;
inline constexpr std::uint64_t k_no_limit = ~std::uint64_t{0};

enum class read_mode {
  stream,      // read() from the descriptor's start (its position when handed over)
  live,        // stream from a pipe, FIFO or terminal: what has come is searched at once
  positioned,  // pread() at absolute offsets: chunks of one file searched side by side
};

// What one scan reads and reports, as input offsets.
struct scan_span {
  std::uint64_t read_from = 0;  // first byte read (a stream reads and drops those before)
  std::uint64_t from = 0;       // occurrences start here or later; bytes count from here
  std::uint64_t limit = ~std::uint64_t{0};     // occurrences start before; bytes count up to here
  std::uint64_t read_end = ~std::uint64_t{0};  // nothing is read from here on
};

// The span of [start, limit) within [range_start, range_end) for a pattern of m positions:
// reads the m-1 bytes an occurrence starting just before `limit` needs, and `context` bytes
// more on either side for the dumps around occurrences, never past the range's end (reads
// start on a page boundary, so a few bytes before the range may be read: dumps leave them out).
scan_span span_within(std::uint64_t start, std::uint64_t limit, std::uint64_t range_start,
                      std::uint64_t range_end, std::size_t m, std::size_t context);

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

// What the occurrences of one block are handed to.
class block_sink {
 public:
  virtual ~block_sink() = default;
  // Returns false to stop reading this input.
  virtual bool on_block(const found_block& block) = 0;
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
  block_scanner(const search_target& target, matcher_kind matcher,
                std::size_t block_size = k_block_size);

  // Reads the input on `fd` over `span` and reports every occurrence that starts in
  // [span.from, span.limit) and lies wholly in the data read (so never past span.read_end).
  // A short read is not the end, only a read that returns 0. Stream modes take the descriptor
  // to be at offset 0.
  scan_outcome scan(int fd, read_mode mode, const scan_span& span, block_sink& sink);
  // The same over bytes that come from `stream` (its first byte is input offset 0).
  scan_outcome scan(byte_stream& stream, const scan_span& span, block_sink& sink);

  // Only the number of occurrences is wanted: a one-byte pattern is then counted without
  // listing where (found_block::starts is null), at the speed of memory even when every byte
  // matches. No effect on longer patterns.
  void count_only(bool on) {
    count_only_ =
        on && target_.set == nullptr && target_.extended == nullptr && target_.length == 1;
  }

 private:
  struct aligned_free {
    void operator()(std::uint8_t* p) const;
  };
  // Reads and drops the bytes of a stream up to `offset`; false when it ended or failed first.
  bool skip_to(int fd, byte_stream* stream, std::uint64_t offset, scan_outcome& outcome);
  scan_outcome scan_from(int fd, byte_stream* stream, read_mode mode, const scan_span& span,
                         block_sink& sink);
  // Finds the occurrences of the block `found` describes (its data at `buf`, the first
  // `carried` bytes from the block before; `last`: none follows) and hands them to `sink`;
  // false when it stopped.
  bool search_block(std::uint8_t* buf, std::size_t carried, bool last, const scan_span& span,
                    found_block& found, block_sink& sink);
  bool search_extended(std::uint8_t* buf, std::size_t carried, const scan_span& span,
                       found_block& found, block_sink& sink);
  static void trim_to_span(found_block& found, const scan_span& span);

  search_target target_;
  std::size_t block_size_;
  bool count_only_ = false;
  std::unique_ptr<std::uint8_t, aligned_free> memory_;
  std::uint8_t* data_;    // page-aligned; the carried tail sits just before it
  std::size_t capacity_;  // of starts_ and members_
  std::unique_ptr<std::uint32_t[]> starts_;
  std::unique_ptr<std::uint32_t[]> members_;  // with a set
  adaptive_matcher matcher_;
  std::unique_ptr<extended_matcher::state> extended_;  // with brace patterns
};

}  // namespace bytrove
