#include "source/codec_stream.h"

#include <bzlib.h>
#include <lz4frame.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "source/packed_input.h"

namespace bytrove {
namespace {

// Under the allocator's mmap threshold, so an input of a tree of small files costs no page faults.
constexpr std::size_t k_input_size = std::size_t{64} << 10;
// What an xz or lzma decoder may take: the largest preset needs 65 MiB.
constexpr std::uint64_t k_lzma_memory = std::uint64_t{100} << 20;
constexpr std::uint32_t k_skippable = 0x184D2A50;  // zstd and lz4 skippable frames, low 4 bits free

std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

// An lzma header as the command-line tools write it: its three bytes of mark are weak, so the
// dictionary size must be one they use (2^n or 2^n + 2^(n-1)), the size unknown or plausible,
// and the first byte of the range coder zero.
bool lzma_header(const std::uint8_t* head, std::size_t size) {
  if (size < 14 || head[0] != 0x5d || head[13] != 0) return false;
  const std::uint32_t dict = le32(head + 1);
  const std::uint32_t low = dict & (~dict + 1);
  const bool usual = dict == low || dict == low + (low << 1);
  std::uint64_t length = 0;
  for (int i = 12; i >= 5; --i) length = length << 8 | head[i];
  return usual && dict >= 4096 &&
         (length == ~std::uint64_t{0} || length < (std::uint64_t{1} << 40));
}

// The mark after any skippable frames at the head (zstd and lz4 both have them).
std::uint32_t first_mark(const std::uint8_t* head, std::size_t size) {
  std::size_t at = 0;
  while (size >= at + 8 && (le32(head + at) & 0xfffffff0u) == k_skippable) {
    at += 8 + std::size_t{le32(head + at + 4)};
  }
  return size >= at + 4 ? le32(head + at) : k_skippable;
}

class gzip_codec final : public codec_stream {
 public:
  gzip_codec(byte_stream& source, std::uint64_t* counter) : codec_stream(source, counter) {
    if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
  }
  ~gzip_codec() override { inflateEnd(&z_); }

 private:
  std::size_t step(std::uint8_t* dst, std::size_t size) override {
    if (!in_member_) {
      // Another member follows, or padding: gzip -d ignores trailing zeros and garbage.
      if (avail_in_ == 0) {
        if (input_ended_) end();
        return 0;
      }
      if (next_in_[0] != 0x1f) {
        end();
        return 0;
      }
      inflateReset(&z_);
      in_member_ = true;
    }
    z_.next_in = const_cast<Bytef*>(next_in_);
    z_.avail_in = static_cast<uInt>(avail_in_);
    z_.next_out = dst;
    z_.avail_out = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
    const uInt room = z_.avail_out;
    // Called even with all the input taken: inflate may still hold output it had no room for
    // (the rest of a long match), and only a call that gives nothing means the data stopped.
    const int r = inflate(&z_, Z_NO_FLUSH);
    consume(avail_in_ - z_.avail_in);
    if (r == Z_STREAM_END) {
      in_member_ = false;
    } else if (r == Z_BUF_ERROR) {
      if (input_ended_ && avail_in_ == 0 && z_.avail_out == room) truncated();
    } else if (r != Z_OK) {
      fail(z_.msg != nullptr ? z_.msg : "damaged data");
    }
    return room - z_.avail_out;
  }

  z_stream z_{};
  bool in_member_ = true;
};

class lzma_codec final : public codec_stream {
 public:
  lzma_codec(byte_stream& source, std::uint64_t* counter, bool alone)
      : codec_stream(source, counter) {
    const lzma_ret r = alone ? lzma_alone_decoder(&s_, k_lzma_memory)
                             : lzma_stream_decoder(&s_, k_lzma_memory, LZMA_CONCATENATED);
    if (r != LZMA_OK) throw std::bad_alloc();
  }
  ~lzma_codec() override { lzma_end(&s_); }

 private:
  std::size_t step(std::uint8_t* dst, std::size_t size) override {
    s_.next_in = next_in_;
    s_.avail_in = avail_in_;
    s_.next_out = dst;
    s_.avail_out = size;
    const lzma_ret r = lzma_code(&s_, input_ended_ ? LZMA_FINISH : LZMA_RUN);
    consume(avail_in_ - s_.avail_in);
    switch (r) {
      case LZMA_OK:
        break;
      case LZMA_STREAM_END:
        end();
        break;
      case LZMA_BUF_ERROR:
        truncated();
        break;
      case LZMA_FORMAT_ERROR:
        fail("file format not recognized", true);
        break;
      case LZMA_OPTIONS_ERROR:
        fail("unsupported options", true);
        break;
      case LZMA_MEMLIMIT_ERROR:
        fail("needs more memory than 100 MiB to decode");
        break;
      case LZMA_DATA_ERROR:
        fail("compressed data is corrupt");
        break;
      default:
        fail("damaged data");
        break;
    }
    return size - s_.avail_out;
  }

  lzma_stream s_ = LZMA_STREAM_INIT;
};

// A format of frames one after another (zstd, lz4): where the input ends, the stream ended
// well only if the last call that did anything ended a frame.
class framed_codec : public codec_stream {
 protected:
  using codec_stream::codec_stream;
  // After a call of the decoder without error: `progressed` when it took or gave bytes,
  // `frame_end` when it finished a frame.
  void settle(bool progressed, bool frame_end) {
    if (progressed) {
      frame_ended_ = frame_end;
    } else if (input_ended_) {
      if (frame_ended_) {
        end();
      } else {
        truncated();
      }
    }
  }

 private:
  bool frame_ended_ = false;
};

class zstd_codec final : public framed_codec {
 public:
  zstd_codec(byte_stream& source, std::uint64_t* counter)
      : framed_codec(source, counter), d_(ZSTD_createDCtx()) {
    if (d_ == nullptr) throw std::bad_alloc();
  }
  ~zstd_codec() override { ZSTD_freeDCtx(d_); }

 private:
  std::size_t step(std::uint8_t* dst, std::size_t size) override {
    ZSTD_inBuffer in{next_in_, avail_in_, 0};
    ZSTD_outBuffer out{dst, size, 0};
    const std::size_t r = ZSTD_decompressStream(d_, &out, &in);
    consume(in.pos);
    if (ZSTD_isError(r)) {
      fail(ZSTD_getErrorName(r), ZSTD_getErrorCode(r) == ZSTD_error_prefix_unknown);
    } else {
      settle(out.pos > 0 || in.pos > 0, r == 0);
    }
    return out.pos;
  }

  ZSTD_DCtx* d_;
};

class bzip2_codec final : public codec_stream {
 public:
  bzip2_codec(byte_stream& source, std::uint64_t* counter) : codec_stream(source, counter) {
    if (BZ2_bzDecompressInit(&b_, 0, 0) != BZ_OK) throw std::bad_alloc();
  }
  ~bzip2_codec() override { BZ2_bzDecompressEnd(&b_); }

 private:
  std::size_t step(std::uint8_t* dst, std::size_t size) override {
    if (!in_stream_) {
      // Another stream follows, or trailing garbage, which bzip2 -d passes over.
      if (avail_in_ == 0) {
        if (input_ended_) end();
        return 0;
      }
      if (next_in_[0] != 'B') {
        end();
        return 0;
      }
      BZ2_bzDecompressEnd(&b_);
      if (BZ2_bzDecompressInit(&b_, 0, 0) != BZ_OK) throw std::bad_alloc();
      in_stream_ = true;
    }
    b_.next_in = reinterpret_cast<char*>(const_cast<std::uint8_t*>(next_in_));
    b_.avail_in = static_cast<unsigned>(std::min<std::size_t>(avail_in_, 1u << 30));
    b_.next_out = reinterpret_cast<char*>(dst);
    b_.avail_out = static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30));
    const unsigned room = b_.avail_out;
    const std::size_t offered = b_.avail_in;
    const int r = BZ2_bzDecompress(&b_);
    consume(offered - b_.avail_in);
    const std::size_t n = room - b_.avail_out;
    if (r == BZ_STREAM_END) {
      in_stream_ = false;
    } else if (r == BZ_DATA_ERROR_MAGIC) {
      fail("not a bzip2 stream", true);
    } else if (r != BZ_OK) {
      fail("data integrity error");
    } else if (n == 0 && offered == b_.avail_in && input_ended_) {
      truncated();
    }
    return n;
  }

  bz_stream b_{};
  bool in_stream_ = true;
};

class lz4_codec final : public framed_codec {
 public:
  lz4_codec(byte_stream& source, std::uint64_t* counter) : framed_codec(source, counter) {
    if (LZ4F_isError(LZ4F_createDecompressionContext(&d_, LZ4F_VERSION))) throw std::bad_alloc();
  }
  ~lz4_codec() override { LZ4F_freeDecompressionContext(d_); }

 private:
  std::size_t step(std::uint8_t* dst, std::size_t size) override {
    std::size_t out = size;
    std::size_t in = avail_in_;
    const std::size_t r = LZ4F_decompress(d_, dst, &out, next_in_, &in, nullptr);
    consume(in);
    if (LZ4F_isError(r)) {
      fail(LZ4F_getErrorName(r), !produced_any_ && in == 0);
    } else {
      settle(out > 0 || in > 0, r == 0);
    }
    return out;
  }

  LZ4F_dctx* d_ = nullptr;
};

}  // namespace

codec codec_of(const std::uint8_t* head, std::size_t size) {
  if (size >= 2 && head[0] == 0x1f && head[1] == 0x8b) return codec::gzip;
  if (size >= 6 && std::memcmp(head,
                               "\xfd"
                               "7zXZ\0",
                               6) == 0)
    return codec::xz;
  // bzip2: "BZh", the block size, then a block's or the end's mark (an empty stream).
  if (size >= 10 && head[0] == 'B' && head[1] == 'Z' && head[2] == 'h' && head[3] >= '1' &&
      head[3] <= '9' &&
      (std::memcmp(head + 4, "\x31\x41\x59\x26\x53\x59", 6) == 0 ||
       std::memcmp(head + 4, "\x17\x72\x45\x38\x50\x90", 6) == 0)) {
    return codec::bzip2;
  }
  if (lzma_header(head, size)) return codec::lzma;
  if (size < 4) return codec::none;
  const std::uint32_t mark = first_mark(head, size);
  if (mark == 0xFD2FB528 || mark == k_skippable) return codec::zstd;
  if (mark == 0x184D2204) return codec::lz4;
  return codec::none;
}

bool looks_compressed(const std::uint8_t* head, std::size_t size) {
  if (codec_of(head, size) != codec::none) return true;
  if (size < 4) return false;
  const std::uint32_t mark = le32(head);
  return (head[0] == 0x1f && head[1] == 0x9d) || mark == 0x184C2102 ||
         std::memcmp(head, "LZIP", 4) == 0;
}

codec_stream::codec_stream(byte_stream& source, std::uint64_t* counter)
    : source_(source), counter_(counter), in_(new std::uint8_t[k_input_size]) {}

codec_stream::~codec_stream() = default;

void codec_stream::fail(std::string why, bool header) {
  ended_ = true;
  rejected_ = header && !produced_any_;
  error_ = std::move(why);
}

long codec_stream::read(std::uint8_t* dst, std::size_t size) {
  std::size_t n = 0;
  while (n == 0 && !ended_) {
    if (avail_in_ == 0 && !input_ended_) {
      const long got = source_.read(in_.get(), k_input_size);
      if (got < 0) {
        fail("read failed");
        break;
      }
      input_ended_ = got == 0;
      if (counter_ != nullptr) *counter_ += static_cast<std::uint64_t>(got);
      next_in_ = in_.get();
      avail_in_ = static_cast<std::size_t>(got);
    }
    n = step(dst, size);
  }
  if (n > 0) {
    produced_any_ = true;
    return static_cast<long>(n);
  }
  return error_.empty() ? 0 : -1;
}

std::unique_ptr<codec_stream> open_codec(codec format, byte_stream& source,
                                         std::uint64_t* counter) {
  switch (format) {
    case codec::gzip:
      return std::make_unique<gzip_codec>(source, counter);
    case codec::xz:
      return std::make_unique<lzma_codec>(source, counter, false);
    case codec::lzma:
      return std::make_unique<lzma_codec>(source, counter, true);
    case codec::zstd:
      return std::make_unique<zstd_codec>(source, counter);
    case codec::bzip2:
      return std::make_unique<bzip2_codec>(source, counter);
    case codec::lz4:
      return std::make_unique<lz4_codec>(source, counter);
    case codec::none:
      break;
  }
  return nullptr;
}

}  // namespace bytrove
