#pragma once

#include <cstddef>
#include <cstdint>

namespace bytrove {

// Bytes that come from somewhere other than a descriptor the scanner reads itself: the
// decompressed data of a member of an archive, or a pipe's bytes already read to recognise
// what it holds. Read by one thread at a time.
class byte_stream {
 public:
  virtual ~byte_stream() = default;
  // Copies up to `size` bytes into `dst`: how many (fewer is not the end), 0 once the stream
  // has ended, -1 when it cannot go on (its owner knows why).
  virtual long read(std::uint8_t* dst, std::size_t size) = 0;
};

}  // namespace bytrove
