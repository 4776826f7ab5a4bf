#pragma once

// What the engine searches: a source of bytes at absolute offsets. A regular file can be read
// at any offset (pread), so it has a read plan (the ranges worth reading, past holes that
// cannot hold an occurrence) and can be cut into chunks searched side by side; anything else a
// descriptor gives (a pipe, FIFO, device, terminal, socket) is one stream read in order, live
// when more may come later; a decompressed member is a byte_stream with no descriptor. A new
// kind of input (a process's memory region, say) is a new source_kind here and a way to read
// it in block_scanner. Every classification of a descriptor is made here, by one fstat().

#include <cstdint>
#include <vector>

#include "report/result_options.h"
#include "scan/block_scanner.h"
#include "scan/read_plan.h"

namespace bytrove {

// What makes two open files the same file.
struct file_identity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const file_identity&) const = default;
};

enum class source_kind {
  regular,  // a regular file: read at offsets, chunkable
  live,     // a pipe, FIFO, character device or socket: more may come, show what came
  stream,   // anything else a descriptor reads in order
  unknown,  // fstat failed: read it as a stream
};

struct input_source {
  int fd = -1;
  source_kind kind = source_kind::unknown;
  std::uint64_t size = 0;  // a regular file's size when described
  file_identity identity;
  // A regular file whose reading has begun (standard input after the caller consumed a line):
  // searched from where it stands, as a pipe would be, offsets counting from there.
  bool begun = false;

  bool regular() const { return kind == source_kind::regular; }
  // Can be cut into chunks searched side by side.
  bool chunkable() const { return regular() && !begun; }
};

// What `fd` is, by one fstat() (and, for a regular file, where its offset stands, unless
// `just_opened`: a descriptor the walk opened is at its start, and asking would cost a system
// call per file).
input_source describe_source(int fd, bool just_opened = false);

// The size of `fd` when it is a regular file, else 0 (for the progress line).
std::uint64_t regular_size(int fd);

// How a source is read: a large regular file (or any regular file searched over a range) with
// pread(), skipping holes; a live source as it comes; anything else as a stream.
read_mode read_mode_for(const input_source& source, const result_options& options);

// The ranges of `source` to read under `options`: its read plan (holes skipped) when it is read
// at offsets, else one range from its start; clipped to the range asked for.
std::vector<read_range> reads_for(const input_source& source, read_mode mode,
                                  const result_options& options, std::size_t pattern_length,
                                  bool zeros_can_match);

}  // namespace bytrove
