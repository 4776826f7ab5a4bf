#include "source/archive_reader.h"

#include <archive.h>
#include <archive_entry.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "scan/read_plan.h"
#include "source/packed_input.h"

namespace bytrove {
namespace {

// Compressed bytes read per call: large enough that the library's own copying stays small, under
// the allocator's mmap threshold so that a tree of small inputs costs no page faults.
constexpr std::size_t k_read_size = std::size_t{64} << 10;
// What a nested member keeps of its first bytes, so that it can be searched as it is when it
// turns out not to be packed after all (the library reads ahead while it recognises).
constexpr std::size_t k_replay_keep = std::size_t{1} << 20;
constexpr unsigned k_header_failures = 16;

struct archive_free {
  void operator()(archive* a) const { archive_read_free(a); }
};

// What a library handle reads. The formats decoded by codec_stream are never the library's
// filters, so that it cannot stack one compressed stream on another into one level.
enum formats : int {
  k_whole,     // a compressed format left to the library, or none, around an archive or data
  k_archives,  // an archive only: the stream is already decoded
  k_raw,       // a compressed format left to the library around data
};

// Only the decoders built into the library: none of them runs an external program.
void enable_formats(archive* a, int formats) {
  if (formats != k_archives) {
    archive_read_support_filter_compress(a);
    archive_read_support_filter_lzip(a);
    archive_read_support_filter_lz4(a);  // the legacy frames
    archive_read_support_format_raw(a);
    if (formats == k_raw) return;
  }
  archive_read_support_format_tar(a);
  archive_read_support_format_zip(a);
  archive_read_support_format_cpio(a);
  archive_read_support_format_7zip(a);
  archive_read_support_format_ar(a);
  archive_read_support_format_iso9660(a);
}

bool filtered(archive* a) {
  for (int i = 0; i < archive_filter_count(a); ++i) {
    if (archive_filter_code(a, i) != ARCHIVE_FILTER_NONE) return true;
  }
  return false;
}

std::string error_of(archive* a, const char* otherwise) {
  const char* text = archive_error_string(a);
  return text != nullptr && *text != 0 ? text : otherwise;
}

// True for an archive known by a mark that data hardly begins with by chance (7z, zip): one that
// cannot be read is said to be, before it is searched as the bytes it is. A weaker mark (tar,
// cpio, ar) may be plain data that only looks like one, searched as it is without a word.
bool unmistakable(archive* a) {
  const int format = archive_format(a) & ARCHIVE_FORMAT_BASE_MASK;
  return format == ARCHIVE_FORMAT_7ZIP || format == ARCHIVE_FORMAT_ZIP;
}

}  // namespace

// Where one archive handle reads its compressed bytes: a file by pread, or a stream.
struct archive_reader::client {
  int fd = -1;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  bool at_size = false;  // a short read of the file ended exactly at its size: its end
  headed_stream* stream = nullptr;
  std::uint64_t* counter = nullptr;       // the input's compressed bytes, for the outermost handle
  bool source_failed = false;             // the stream failed: whoever owns it reports why
  const codec_stream* decoder = nullptr;  // what the stream is decoded by, for its reason
  std::unique_ptr<std::uint8_t[]> buffer{new std::uint8_t[k_read_size]};

  // Back to the first byte, to be read again; false when a stream has gone too far for that.
  bool rewind() {
    offset = 0;
    return fd >= 0 || stream->rewind();
  }

  static la_ssize_t read(archive* a, void* data, const void** out) {
    client& c = *static_cast<client*>(data);
    long n = 0;
    if (c.fd >= 0 && c.at_size && c.offset == c.size) {
      n = 0;
    } else if (c.fd >= 0) {
      do {
        n = ::pread(c.fd, c.buffer.get(), k_read_size, static_cast<off_t>(c.offset));
      } while (n < 0 && errno == EINTR);
      if (n > 0) c.offset += static_cast<std::uint64_t>(n);
      c.at_size =
          n > 0 && read_ends_file(static_cast<std::size_t>(n), k_read_size, c.offset, c.size);
    } else {
      n = c.stream->read(c.buffer.get(), k_read_size);
    }
    if (n < 0) {
      c.source_failed = c.fd < 0;
      const bool told = c.decoder != nullptr && c.decoder->failed();
      archive_set_error(a, EIO, "%s", told ? c.decoder->error().c_str() : "read failed");
      return -1;
    }
    if (c.counter != nullptr) *c.counter += static_cast<std::uint64_t>(n);
    *out = c.buffer.get();
    return n;
  }
  static la_int64_t seek(archive*, void* data, la_int64_t offset, int whence) {
    client& c = *static_cast<client*>(data);
    const auto base = static_cast<la_int64_t>(whence == SEEK_SET   ? 0
                                              : whence == SEEK_CUR ? c.offset
                                                                   : c.size);
    if (base + offset < 0) return ARCHIVE_FATAL;
    c.offset = static_cast<std::uint64_t>(base + offset);
    return base + offset;
  }
  static la_int64_t skip(archive*, void* data, la_int64_t request) {
    client& c = *static_cast<client*>(data);
    if (c.fd < 0 || request < 0) return 0;  // a stream is read through
    c.offset += static_cast<std::uint64_t>(request);
    return request;
  }
};

// The decompressed bytes of the current member of an open handle, block by block: the library's
// copying read drops what it had copied of a request when the data fails part-way, so the
// blocks are taken as the library decodes them and every byte before the damage is kept.
class archive_reader::member_stream final : public byte_stream {
 public:
  member_stream(archive* a, archive_entry* entry, archive_reader& owner)
      : a_(a), entry_(entry), owner_(owner) {}

  long read(std::uint8_t* dst, std::size_t size) override {
    if (ended_ || owner_.cut_) return 0;
    if (hole_ == 0 && left_ == 0 && !next_block()) {
      ended_ = true;
      return failed_ ? -1 : 0;
    }
    std::size_t n = 0;
    if (hole_ > 0) {  // a hole of a sparse member reads as zeros
      n = static_cast<std::size_t>(std::min<std::uint64_t>(size, hole_));
      std::memset(dst, 0, n);
      hole_ -= n;
    } else {
      n = std::min(size, left_);
      std::memcpy(dst, block_, n);
      block_ += n;
      left_ -= n;
    }
    offset_ += n;
    if (!owner_.produce(n)) {
      cut_here_ = true;
      ended_ = true;
    }
    return static_cast<long>(n);
  }

  bool failed() const { return failed_; }
  bool fatal() const { return fatal_; }
  bool cut_here() const { return cut_here_; }
  const std::string& reason() const { return reason_; }

 private:
  // The next block and the hole before it; false at the member's end or where it fails.
  bool next_block() {
    for (;;) {
      const void* block = nullptr;
      la_int64_t at = 0;
      const int r = archive_read_data_block(a_, &block, &left_, &at);
      if (r == ARCHIVE_EOF) return sparse_tail();
      if (r < ARCHIVE_WARN) {
        left_ = 0;
        failed_ = true;
        fatal_ = r == ARCHIVE_FATAL;
        reason_ = error_of(a_, "damaged data");
        return false;
      }
      block_ = static_cast<const std::uint8_t*>(block);
      const auto start = static_cast<std::uint64_t>(std::max<la_int64_t>(at, 0));
      hole_ = start > offset_ ? start - offset_ : 0;
      if (hole_ > 0 || left_ > 0) return true;
    }
  }

  // A sparse member's last hole has no block after it, yet its zeros are the member's too (a
  // disk image in a tar ends in one): they are handed out up to the member's size.
  bool sparse_tail() {
    if (tail_given_ || archive_entry_sparse_count(entry_) <= 0) return false;
    tail_given_ = true;
    const la_int64_t size = archive_entry_size(entry_);
    if (size <= 0 || static_cast<std::uint64_t>(size) <= offset_) return false;
    hole_ = static_cast<std::uint64_t>(size) - offset_;
    left_ = 0;
    return true;
  }

  archive* a_;
  archive_entry* entry_;
  archive_reader& owner_;
  const std::uint8_t* block_ = nullptr;
  std::size_t left_ = 0;      // of the block, to hand out after the hole
  std::uint64_t hole_ = 0;    // zeros to hand out before the block
  std::uint64_t offset_ = 0;  // the member's bytes handed out
  bool ended_ = false;
  bool failed_ = false;
  bool fatal_ = false;
  bool cut_here_ = false;
  bool tail_given_ = false;
  std::string reason_;
};

// Decoded bytes that count against the input's limits; ends where they cut it.
class archive_reader::counted_stream final : public byte_stream {
 public:
  counted_stream(byte_stream& decoded, archive_reader& owner) : decoded_(decoded), owner_(owner) {}
  long read(std::uint8_t* dst, std::size_t size) override {
    if (owner_.cut_) return 0;
    const long n = decoded_.read(dst, size);
    if (n > 0 && !owner_.produce(static_cast<std::uint64_t>(n))) cut_here_ = true;
    return n;
  }
  bool cut_here() const { return cut_here_; }

 private:
  byte_stream& decoded_;
  archive_reader& owner_;
  bool cut_here_ = false;
};

bool archive_reader::produce(std::uint64_t n) {
  produced_ += n;
  if (over_limit().empty()) return true;
  cut_ = true;
  return false;
}

std::string archive_reader::over_limit() const {
  if (produced_ > limits_.max_bytes) {
    return "cut after " + std::to_string(limits_.max_bytes) + " decompressed bytes";
  }
  if (produced_ > limits_.ratio_from && produced_ / limits_.max_ratio > compressed_) {
    return "cut: it expands more than " + std::to_string(limits_.max_ratio) +
           " times the compressed bytes read";
  }
  return {};
}

unpack_status archive_reader::unpack_file(int fd, std::uint64_t size, member_visitor& visitor,
                                          const file_head& head,
                                          std::span<const std::uint8_t> whole) {
  reset();
  const codec format = codec_of(head.bytes, head.size);
  if (format != codec::none) {
    pread_stream compressed(fd, size, whole);
    return unpack_codec(compressed, format, limits_.depth, true, visitor);
  }
  client source;
  source.fd = fd;
  source.size = size;
  source.counter = &compressed_;
  return walk(source, limits_.depth, true, visitor, k_whole);
}

unpack_status archive_reader::unpack_stream(headed_stream& stream, member_visitor& visitor) {
  reset();
  const codec format = codec_of(stream.head(), stream.head_size());
  if (format != codec::none) return unpack_codec(stream, format, limits_.depth, true, visitor);
  client source;
  source.stream = &stream;
  source.counter = &compressed_;
  return walk(source, limits_.depth, true, visitor, k_whole);
}

void archive_reader::reset() {
  chain_.clear();
  compressed_ = 0;
  produced_ = 0;
  cut_ = false;
}

unpack_status archive_reader::unpack_codec(byte_stream& compressed, codec format, unsigned depth,
                                           bool top, member_visitor& visitor) {
  const std::unique_ptr<codec_stream> decoder =
      open_codec(format, compressed, top ? &compressed_ : nullptr);
  counted_stream counted(*decoder, *this);
  headed_stream decoded(counted, k_replay_keep);
  const std::size_t level = chain_.size();
  const bool head_read = decoded.read_head();
  if (decoder->rejected()) return unpack_status::not_packed;
  unpack_status status = unpack_status::done;
  const bool told_before = std::exchange(damage_told_, false);
  if (head_read) status = visit_decoded(decoded, *decoder, depth, visitor);
  chain_.resize(level + 1);  // the message names the data when no archive member holds it
  if (counted.cut_here()) {
    visitor.on_problem(chain_, over_limit());
  } else if (decoder->failed() && !cut_ && !damage_told_) {
    visitor.on_problem(chain_, decoder->error());
  }
  chain_.resize(level);
  damage_told_ = told_before;
  return status;
}

unpack_status archive_reader::visit_decoded(headed_stream& decoded, const codec_stream& decoder,
                                            unsigned depth, member_visitor& visitor) {
  const std::uint8_t* head = decoded.head();
  const std::size_t size = decoded.head_size();
  const bool archive = looks_packed(head, size) && !looks_compressed(head, size);
  if (!archive && !(depth > 1 && looks_compressed(head, size))) decoded.stop_keeping();
  if (archive) {
    // An archive directly inside the compression (a .tar.gz) is the same level.
    client inner;
    inner.stream = &decoded;
    inner.decoder = &decoder;
    const unpack_status status = walk(inner, depth, false, visitor, k_archives);
    if (status != unpack_status::not_packed) return status;
    if (!decoded.rewind()) {
      visitor.on_problem(chain_, "not an archive, and too much was read to search it as it is");
      return unpack_status::done;
    }
  }
  chain_.emplace_back();
  const unpack_status status =
      depth > 1 && !archive
          ? visit(decoded, depth, visitor)
          : (visitor.on_member(chain_, decoded) ? unpack_status::done : unpack_status::stopped);
  chain_.pop_back();
  return status;
}

unpack_status archive_reader::walk(client& source, unsigned depth, bool top,
                                   member_visitor& visitor, int formats) {
  const std::unique_ptr<archive, archive_free> handle(archive_read_new());
  archive* const a = handle.get();
  enable_formats(a, formats);
  archive_read_set_read_callback(a, &client::read);
  archive_read_set_callback_data(a, &source);
  if (source.fd >= 0) {
    archive_read_set_seek_callback(a, &client::seek);
    archive_read_set_skip_callback(a, &client::skip);
  }
  if (archive_read_open1(a) != ARCHIVE_OK) {
    if (source.source_failed) return unpack_status::done;
    if (top) return unpack_status::not_packed;
    visitor.on_problem(chain_, error_of(a, "unreadable"));
    return unpack_status::done;
  }
  bool any = false;
  unsigned failures = 0;
  for (;;) {
    archive_entry* entry = nullptr;
    const int r = archive_read_next_header(a, &entry);
    if (r == ARCHIVE_EOF) {
      // Compressed data that begins with zeros reads as an empty tar archive: it is data.
      if (!any && formats == k_whole && filtered(a) && source.rewind()) {
        return walk(source, depth, top, visitor, k_raw);
      }
      break;
    }
    if (r < ARCHIVE_WARN) {
      if (source.source_failed || cut_) break;
      if (!any && !filtered(a)) {
        // Nothing is lost: a 7z whose header is encrypted, say, is searched as its bytes.
        if (unmistakable(a)) {
          visitor.on_problem(chain_, "not unpacked (" + error_of(a, "damaged archive") + ")");
        }
        return unpack_status::not_packed;
      }
      visitor.on_problem(chain_, error_of(a, "damaged archive"));
      // A header the library passes over: the next may be good, but not forever.
      if (r == ARCHIVE_FAILED && ++failures < k_header_failures) continue;
      break;
    }
    const bool raw = archive_format(a) == ARCHIVE_FORMAT_RAW;
    if (!any && raw && !filtered(a)) return unpack_status::not_packed;
    any = true;
    bool fatal = false;
    const unpack_status status = read_member(a, entry, raw, depth, visitor, fatal);
    if (status == unpack_status::stopped) return status;
    if (fatal || cut_) break;
  }
  return unpack_status::done;
}

unpack_status archive_reader::read_member(archive* a, archive_entry* entry, bool raw,
                                          unsigned depth, member_visitor& visitor, bool& fatal) {
  // Some archivers (ar among them) store no file type: such a member is data too.
  const auto type = archive_entry_filetype(entry);
  if (type != AE_IFREG && type != 0) return unpack_status::done;
  if (archive_entry_hardlink(entry) != nullptr && archive_entry_size(entry) == 0) {
    return unpack_status::done;
  }
  const char* name = raw ? nullptr : archive_entry_pathname(entry);
  chain_.emplace_back(name != nullptr ? name : "");
  unpack_status status = unpack_status::done;
  if (archive_entry_is_encrypted(entry)) {
    visitor.on_problem(chain_, "encrypted, not searched");
  } else {
    member_stream data(a, entry, *this);
    status = visit(data, depth, visitor);
    if (data.cut_here()) {
      visitor.on_problem(chain_, over_limit());
    } else if (data.failed() && !cut_) {
      visitor.on_problem(chain_, data.reason());
      damage_told_ = true;
    }
    fatal = data.fatal();
  }
  chain_.pop_back();
  return status;
}

unpack_status archive_reader::visit(byte_stream& data, unsigned depth, member_visitor& visitor) {
  if (depth <= 1) {
    return visitor.on_member(chain_, data) ? unpack_status::done : unpack_status::stopped;
  }
  headed_stream headed(data, k_replay_keep);
  if (!headed.read_head()) return unpack_status::done;  // the member's failure is reported
  const bool packed = looks_packed(headed.head(), headed.head_size());
  if (!packed) headed.stop_keeping();
  if (packed) {
    const codec format = codec_of(headed.head(), headed.head_size());
    unpack_status status = unpack_status::not_packed;
    if (format != codec::none) {
      status = unpack_codec(headed, format, depth - 1, false, visitor);
    } else {
      client inner;
      inner.stream = &headed;
      status = walk(inner, depth - 1, false, visitor, k_whole);
    }
    if (status != unpack_status::not_packed) return status;
    if (!headed.rewind()) {
      visitor.on_problem(chain_, "not an archive, and too much was read to search it as it is");
      return unpack_status::done;
    }
  }
  return visitor.on_member(chain_, headed) ? unpack_status::done : unpack_status::stopped;
}

}  // namespace bytrove
