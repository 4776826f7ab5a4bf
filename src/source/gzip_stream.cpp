#include "source/gzip_stream.h"

#include <algorithm>
#include <new>

namespace bytrove {
namespace {

// Under the allocator's mmap threshold, so an input of a tree of small files costs no page faults.
constexpr std::size_t k_input_size = std::size_t{64} << 10;
constexpr int k_gzip_only = 16 + MAX_WBITS;

}  // namespace

gzip_stream::gzip_stream(byte_stream& source, std::uint64_t* counter)
    : source_(source), counter_(counter), in_(new std::uint8_t[k_input_size]) {
  if (inflateInit2(&z_, k_gzip_only) != Z_OK) throw std::bad_alloc();
}

gzip_stream::~gzip_stream() { inflateEnd(&z_); }

bool gzip_stream::refill() {
  const long n = source_.read(in_.get(), k_input_size);
  if (n < 0) source_failed_ = true;
  if (n <= 0) return false;
  if (counter_ != nullptr) *counter_ += static_cast<std::uint64_t>(n);
  z_.next_in = in_.get();
  z_.avail_in = static_cast<uInt>(n);
  return true;
}

long gzip_stream::read(std::uint8_t* dst, std::size_t size) {
  if (!error_.empty()) return -1;
  z_.next_out = dst;
  z_.avail_out = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
  const uInt room = z_.avail_out;
  while (!ended_ && z_.avail_out == room) {
    if (z_.avail_in == 0 && !refill()) {
      ended_ = true;
      if (source_failed_) {
        error_ = "read failed";
      } else if (in_member_) {
        error_ = "unexpected end of file";
      }
      break;
    }
    if (!in_member_) {
      // Another member follows, or padding: gzip -d ignores trailing zeros and garbage.
      if (z_.next_in[0] != 0x1f) {
        ended_ = true;
        break;
      }
      inflateReset(&z_);
      in_member_ = true;
    }
    const int r = inflate(&z_, Z_NO_FLUSH);
    if (r == Z_STREAM_END) {
      in_member_ = false;
    } else if (r != Z_OK && r != Z_BUF_ERROR) {
      ended_ = true;
      error_ = z_.msg != nullptr ? z_.msg : "damaged data";
    }
  }
  const uInt produced = room - z_.avail_out;
  if (produced > 0) return static_cast<long>(produced);
  return error_.empty() ? 0 : -1;
}

}  // namespace bytrove
