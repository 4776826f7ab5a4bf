#pragma once

// Decodes the compression formats the archive library would otherwise decode a buffer at a
// time (gzip, xz, lzma, zstd, bzip2, lz4 frames) straight from a stream of compressed bytes with
// their own libraries: every byte decoded before damage or a truncation is handed out, as the
// command-line decoders print it, and one compressed layer is one layer (a compressed stream
// inside is handed out as its bytes). Owns the decoder state and its input buffer; the source
// belongs to the caller.

#include <cstdint>
#include <memory>
#include <string>

#include "scan/byte_stream.h"

namespace bytrove {

enum class codec { none, gzip, xz, lzma, zstd, bzip2, lz4 };

// The format decoded here that `head` (an input's first bytes) begins as; none otherwise.
codec codec_of(const std::uint8_t* head, std::size_t size);

// True when `head` begins as any compressed format, the ones left to the archive library
// (compress, lzip, legacy lz4) included.
bool looks_compressed(const std::uint8_t* head, std::size_t size);

class codec_stream : public byte_stream {
 public:
  ~codec_stream() override;
  codec_stream(const codec_stream&) = delete;
  codec_stream& operator=(const codec_stream&) = delete;

  // The decompressed bytes; -1 after the last good byte when the data is damaged or ends
  // inside a frame or stream (error() says which).
  long read(std::uint8_t* dst, std::size_t size) final;
  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }
  // The first bytes were not this format after all: nothing was decoded.
  bool rejected() const { return rejected_; }

 protected:
  // Compressed bytes read are added to `*counter` when it is set.
  codec_stream(byte_stream& source, std::uint64_t* counter);
  // Decodes once into `dst` from the input held (all of it read when input_ended_), consuming
  // what it used; calls end() or fail() when the data ends or breaks. Returns bytes written.
  virtual std::size_t step(std::uint8_t* dst, std::size_t size) = 0;
  void consume(std::size_t n) {
    next_in_ += n;
    avail_in_ -= n;
  }
  void end() { ended_ = true; }
  // `header`: the format's own mark or header was refused before any byte was decoded.
  void fail(std::string why, bool header = false);
  void truncated() { fail("unexpected end of file"); }

  const std::uint8_t* next_in_ = nullptr;
  std::size_t avail_in_ = 0;
  bool input_ended_ = false;
  bool produced_any_ = false;

 private:
  byte_stream& source_;
  std::uint64_t* counter_;
  std::unique_ptr<std::uint8_t[]> in_;
  bool ended_ = false;
  bool rejected_ = false;
  std::string error_;
};

// A decoder for `format` (not none) reading `source`.
std::unique_ptr<codec_stream> open_codec(codec format, byte_stream& source, std::uint64_t* counter);

}  // namespace bytrove
