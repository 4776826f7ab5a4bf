#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/offsets.h"
#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"
#include "scan/block_matcher.h"
#include "scan/byte_stream.h"
#include "scan/search_target.h"
#include "scan/single_matchers.h"

namespace bytrove {

// Bytes read per block. 1 MiB measured fastest here: fewer reads, and the block still fits the
// L2 cache while it is searched. The carry between blocks keeps every occurrence findable
// whatever the size.
inline constexpr std::size_t k_block_size = std::size_t{1} << 20;

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
  // A regular file's size when it was described: a short read() that ends exactly there is
  // taken for the end, without one more read to find 0. One that stops short of it is not (a
  // network or user-space file system may return less than asked), nor one past it (a file
  // that has grown, or one of /proc, whose size says 0 or a page whatever it holds).
  std::uint64_t known_end = ~std::uint64_t{0};
};

// The span of [start, limit) within [range_start, range_end) for a pattern of m positions:
// reads the m-1 bytes an occurrence starting just before `limit` needs, and `context` bytes
// more on either side for the dumps around occurrences, never past the range's end (reads
// start on a page boundary, so a few bytes before the range may be read: dumps leave them out).
scan_span span_within(std::uint64_t start, std::uint64_t limit, std::uint64_t range_start,
                      std::uint64_t range_end, std::size_t m, std::size_t context);

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

// Reads an input in blocks and finds every occurrence of its target (one pattern, a set, brace
// patterns: whichever, through its block_matcher). Every read lands on a page-aligned address
// (read() into a misaligned address copies several times slower); the last m-1 bytes of a
// block are copied just before that address, so an occurrence that straddles two blocks is
// found in the second, once. Owns its buffers and its matcher: one per thread.
class block_scanner {
 public:
  // `block_size` must be a multiple of 4096; smaller blocks are for tests.
  block_scanner(const search_target& target, matcher_kind matcher,
                std::size_t block_size = k_block_size);

  // Reads the input on `fd` over `span` and reports every occurrence that starts in
  // [span.from, span.limit) and lies wholly in the data read (so never past span.read_end).
  // A short read is not the end, only a read that returns 0 or one that ends at
  // span.known_end. Stream modes take the descriptor to be at offset 0.
  scan_outcome scan(int fd, read_mode mode, const scan_span& span, block_sink& sink);
  // The same over bytes that come from `stream` (its first byte is input offset 0).
  scan_outcome scan(byte_stream& stream, const scan_span& span, block_sink& sink);

  // Only the number of occurrences is wanted: a one-byte pattern is then counted without
  // listing where (found_block::starts is null), at the speed of memory even when every byte
  // matches. No effect on longer patterns.
  void count_only(bool on) { matcher_->count_only(on); }

 private:
  struct aligned_free {
    void operator()(std::uint8_t* p) const;
  };
  // Reads and drops the bytes of a stream up to `offset`; false when it ended or failed first.
  bool skip_to(int fd, byte_stream* stream, std::uint64_t offset, scan_outcome& outcome);
  scan_outcome scan_from(int fd, byte_stream* stream, read_mode mode, const scan_span& span,
                         block_sink& sink);
  // Zeroes what the matcher may look at past `end` bytes of data that no read has written yet.
  void settle_tail(std::size_t end);
  search_target target_;
  std::size_t block_size_;
  std::unique_ptr<std::uint8_t, aligned_free> memory_;
  std::uint8_t* data_;    // page-aligned; the carried tail sits just before it
  std::size_t capacity_;  // bytes from data_ to the end of memory_
  // Bytes from data_ on written at least once, by a read or zeroed: the matcher looks past a
  // block's data, and what it finds there must be zeros or old data, never unset memory. The
  // buffer is zeroed only as blocks reach further, so a thread that searches small files
  // touches only the pages they fill.
  std::size_t written_ = 0;
  std::unique_ptr<block_matcher> matcher_;
};

}  // namespace bytrove
