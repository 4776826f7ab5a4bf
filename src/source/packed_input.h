#pragma once

// Recognising inputs that --decompress unpacks, by their first bytes, and the streams the
// unpacking reads from. Owns no descriptor: the caller opens and closes them.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "scan/byte_stream.h"

namespace bytrove {

// Bytes read to recognise an input: the ISO 9660 mark lies at 32769.
inline constexpr std::size_t k_sniff_size = std::size_t{36} << 10;

// True when `head` (the first bytes of an input: k_sniff_size, or all of a shorter one) begins
// as one of the compressed or archive formats that are unpacked: the compressed ones as
// looks_compressed (codec_stream.h) has them, then zip, 7z, ar, cpio, tar, ISO 9660.
bool looks_packed(const std::uint8_t* head, std::size_t size);

// The first bytes of a file as they were read to recognise it: enough to tell a compressed
// format, so that unpacking need not read them again.
struct file_head {
  std::uint8_t bytes[64] = {};
  std::size_t size = 0;
};

// The same for the regular file `fd` of `size` bytes, read with pread (its position is left
// alone); false when it cannot be read. Keeps its first bytes in `head` and, when `whole` is
// given and the file was read to its end on the way (a small file), all of it in `*whole`
// (emptied otherwise), so that unpacking it reads nothing again.
bool file_looks_packed(int fd, std::uint64_t size, file_head& head,
                       std::vector<std::uint8_t>* whole = nullptr);

// Reads a descriptor from where it stands, retrying interrupted reads.
class fd_stream final : public byte_stream {
 public:
  explicit fd_stream(int fd) : fd_(fd) {}
  long read(std::uint8_t* dst, std::size_t size) override;

 private:
  int fd_;
};

// Reads a regular file with pread from its first byte on (the descriptor's position is left
// alone, so it can still be searched as it is). `known_end` is its size when it was described:
// a short read that ends exactly there is its end, without one more read to find 0. `first`,
// the file's first bytes when they were read already (borrowed: they must outlive the stream),
// are handed out before anything is read; reading goes on after them.
class pread_stream final : public byte_stream {
 public:
  explicit pread_stream(int fd, std::uint64_t known_end = ~std::uint64_t{0},
                        std::span<const std::uint8_t> first = {})
      : fd_(fd),
        known_end_(known_end),
        first_(first),
        ended_(!first.empty() && first.size() == known_end) {}
  long read(std::uint8_t* dst, std::size_t size) override;

 private:
  int fd_;
  std::uint64_t known_end_;
  std::span<const std::uint8_t> first_;
  std::uint64_t offset_ = 0;
  bool ended_;
};

// The bytes of `source` with its head read ahead to recognise it. Keeps what it has handed out
// while that is at most `keep` bytes, so that it can start again from the first byte.
class headed_stream final : public byte_stream {
 public:
  headed_stream(byte_stream& source, std::size_t keep) : source_(source), keep_(keep) {}

  // Reads the head (k_sniff_size bytes, fewer at the end or where the source failed); false
  // when the source failed before giving a byte. Bytes read before a failure are handed out
  // first, and the failure after them.
  bool read_head();
  const std::uint8_t* head() const { return kept_.data(); }
  std::size_t head_size() const { return head_size_; }

  long read(std::uint8_t* dst, std::size_t size) override;
  // Starts again from the first byte; false once more than `keep` bytes have gone.
  bool rewind();
  // Keeps nothing more (what is kept is still handed out first): there will be no rewind.
  void stop_keeping() { keep_ = kept_.size(); }

 private:
  byte_stream& source_;
  std::size_t keep_;
  // Grown without zeroing: a head is read for every packed input, most of them small, and
  // clearing 36 KiB each time cost more than reading them.
  template <class T>
  struct uninitialised : std::allocator<T> {
    template <class U>
    struct rebind {
      using other = uninitialised<U>;
    };
    uninitialised() = default;
    template <class U>
    explicit uninitialised(const uninitialised<U>& /*other*/) noexcept {}
    template <class U>
    void construct(U* /*at*/) noexcept {}  // growing leaves the new bytes as they are
  };
  std::vector<std::uint8_t, uninitialised<std::uint8_t>> kept_;  // the first bytes, while kept
  std::size_t head_size_ = 0;
  std::size_t pos_ = 0;  // next byte handed out, while it lies in kept_
  bool gone_ = false;    // bytes were handed out past what is kept
  bool failed_ = false;  // the source failed while the head was read: it ends the head
};

}  // namespace bytrove
