#include "source/packed_input.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "scan/read_plan.h"
#include "source/codec_stream.h"

namespace bytrove {
namespace {

bool starts_with(const std::uint8_t* head, std::size_t size, std::size_t at,
                 std::string_view mark) {
  return size >= at + mark.size() && std::memcmp(head + at, mark.data(), mark.size()) == 0;
}

// A tar header: its checksum field matches the sum of its bytes (with the field as spaces).
// Covers the old formats that carry no "ustar" mark.
bool tar_header(const std::uint8_t* head, std::size_t size) {
  if (size < 512 || head[0] == 0) return false;
  if (starts_with(head, size, 257, "ustar")) return true;
  std::uint64_t stored = 0;
  bool digits = false;
  for (std::size_t i = 148; i < 156; ++i) {
    const std::uint8_t c = head[i];
    if (c >= '0' && c <= '7') {
      stored = stored * 8 + (c - '0');
      digits = true;
    } else if (c != ' ' && c != 0) {
      return false;
    } else if (digits) {
      break;
    }
  }
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < 512; ++i) sum += i >= 148 && i < 156 ? ' ' : head[i];
  return digits && sum == stored;
}

}  // namespace

bool looks_packed(const std::uint8_t* head, std::size_t size) {
  // The compressed formats are recognised where they are decoded, by the same rules.
  if (looks_compressed(head, size)) return true;
  using namespace std::string_view_literals;
  static constexpr std::string_view k_marks[] = {
      "PK\x03\x04"sv,
      "PK\x05\x06"sv,
      "PK\x07\x08"sv,          // zip
      "7z\xbc\xaf\x27\x1c"sv,  // 7z
      "!<arch>\n"sv,           // ar
      "070701"sv,
      "070702"sv,
      "070707"sv,
      "\xc7\x71"sv,
      "\x71\xc7"sv,  // cpio
  };
  for (const std::string_view mark : k_marks) {
    if (starts_with(head, size, 0, mark)) return true;
  }
  return tar_header(head, size) || starts_with(head, size, 32769, "CD001");
}

bool file_looks_packed(int fd, std::uint64_t size, file_head& kept,
                       std::vector<std::uint8_t>* whole) {
  if (whole != nullptr) whole->clear();
  // Only the bytes the marks lie in: the first 4 KiB, and the ISO 9660 mark's place.
  std::uint8_t head[4096];
  const ssize_t n = ::pread(fd, head, sizeof head, 0);
  if (n <= 0) return false;
  kept.size = std::min(sizeof kept.bytes, static_cast<std::size_t>(n));
  std::memcpy(kept.bytes, head, kept.size);
  if (looks_packed(head, static_cast<std::size_t>(n))) {
    // A read short of what was asked that ends at the described size read the whole file: most
    // compressed files of a tree are this small, and each then costs one read fewer.
    if (whole != nullptr && static_cast<std::size_t>(n) < sizeof head &&
        static_cast<std::uint64_t>(n) == size) {
      whole->assign(head, head + n);
    }
    return true;
  }
  constexpr std::size_t k_iso_mark = 32769;
  if (size < k_iso_mark + 5) return false;
  std::uint8_t mark[5];
  return ::pread(fd, mark, sizeof mark, k_iso_mark) == 5 && std::memcmp(mark, "CD001", 5) == 0;
}

long fd_stream::read(std::uint8_t* dst, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd_, dst, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

long pread_stream::read(std::uint8_t* dst, std::size_t size) {
  if (offset_ < first_.size()) {
    const std::size_t n = std::min(size, first_.size() - static_cast<std::size_t>(offset_));
    std::memcpy(dst, first_.data() + offset_, n);
    offset_ += n;
    return static_cast<long>(n);
  }
  if (ended_) return 0;
  for (;;) {
    const ssize_t n = ::pread(fd_, dst, size, static_cast<off_t>(offset_));
    if (n >= 0) {
      offset_ += static_cast<std::uint64_t>(n);
      ended_ = read_ends_file(static_cast<std::size_t>(n), size, offset_, known_end_);
      return static_cast<long>(n);
    }
    if (errno != EINTR) return -1;
  }
}

bool headed_stream::read_head() {
  kept_.resize(k_sniff_size);
  std::size_t got = 0;
  while (got < kept_.size()) {
    const long n = source_.read(kept_.data() + got, kept_.size() - got);
    // A stream that breaks inside its head (a small file cut short) still has its first bytes
    // searched, as a longer one has everything before the break.
    if (n < 0) failed_ = true;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  kept_.resize(got);
  head_size_ = got;
  return !failed_ || got > 0;
}

long headed_stream::read(std::uint8_t* dst, std::size_t size) {
  if (pos_ < kept_.size()) {
    const std::size_t n = std::min(size, kept_.size() - pos_);
    std::memcpy(dst, kept_.data() + pos_, n);
    pos_ += n;
    return static_cast<long>(n);
  }
  if (failed_) return -1;
  const long n = source_.read(dst, size);
  if (n <= 0) return n;
  const auto got = static_cast<std::size_t>(n);
  if (!gone_ && kept_.size() + got <= keep_) {
    kept_.insert(kept_.end(), dst, dst + got);
    pos_ = kept_.size();
  } else if (!gone_) {
    gone_ = true;
    decltype(kept_)().swap(kept_);
    pos_ = 0;
  }
  return n;
}

bool headed_stream::rewind() {
  if (gone_) return false;
  pos_ = 0;
  return true;
}

}  // namespace bytrove
