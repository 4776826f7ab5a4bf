#pragma once

// Decodes gzip with zlib straight from a stream of compressed bytes: every member in turn, as
// gzip -d does, and every byte before damage or a truncation (the archive library keeps back
// up to a whole buffer of them). Owns the zlib state and its input buffer.

#include <zlib.h>

#include <cstdint>
#include <memory>
#include <string>

#include "scan/byte_stream.h"

namespace bytrove {

class gzip_stream final : public byte_stream {
 public:
  // Compressed bytes read are added to `*counter`.
  gzip_stream(byte_stream& source, std::uint64_t* counter);
  ~gzip_stream() override;
  gzip_stream(const gzip_stream&) = delete;
  gzip_stream& operator=(const gzip_stream&) = delete;

  // The decompressed bytes; -1 after the last good byte when the data is damaged or ends
  // inside a member (error() says which).
  long read(std::uint8_t* dst, std::size_t size) override;
  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

 private:
  // Reads more compressed bytes; false at the end of the source or when it failed.
  bool refill();

  byte_stream& source_;
  std::uint64_t* counter_;
  z_stream z_{};
  std::unique_ptr<std::uint8_t[]> in_;
  bool in_member_ = true;  // inside a member: its end has not been decoded yet
  bool ended_ = false;
  bool source_failed_ = false;
  std::string error_;
};

}  // namespace bytrove
