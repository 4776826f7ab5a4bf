#pragma once

// Unpacks one input that looks packed (see packed_input.h) with libarchive, streaming, and
// hands every regular member's decompressed bytes to a visitor, in archive order, nesting into
// members that are packed themselves down to a depth. Owns the library's handles and their
// buffers (bounded: no member is held whole, nothing goes to disk). Reports damage, encryption
// and decompression bombs through the visitor and goes on where the format allows.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "scan/byte_stream.h"
#include "source/codec_stream.h"
#include "source/packed_input.h"

struct archive;
struct archive_entry;

namespace bytrove {

struct unpack_limits {
  unsigned depth = 1;  // 1: the input is unpacked, its packed members are searched as bytes
  // Past `ratio_from` decompressed bytes, an input whose decompressed bytes exceed `max_ratio`
  // times the compressed bytes read is cut; so is one past `max_bytes`.
  std::uint64_t max_ratio = 1000;
  std::uint64_t ratio_from = std::uint64_t{64} << 20;
  std::uint64_t max_bytes = std::uint64_t{64} << 30;
};

class member_visitor {
 public:
  virtual ~member_visitor() = default;
  // A member to search: `chain` names it from the outermost archive in (an empty name for the
  // data of a plain compressed file). `data` ends at the member's end, where it was cut, or
  // fails (-1) where it is damaged; the reason comes through on_problem after this returns.
  // Returns false to stop reading the input.
  virtual bool on_member(const std::vector<std::string>& chain, byte_stream& data) = 0;
  // What went wrong in `chain` (the container itself when it names no member), as a reason.
  virtual void on_problem(const std::vector<std::string>& chain, const std::string& reason) = 0;
};

enum class unpack_status {
  done,        // every member was visited (or reported)
  not_packed,  // nothing recognised, nothing visited: search the input as it is
  stopped,     // the visitor asked to stop
};

class archive_reader {
 public:
  explicit archive_reader(const unpack_limits& limits) : limits_(limits) {}

  // The regular file `fd` of `size` bytes, read with pread (its position is left alone);
  // `head` as file_looks_packed read it, and `whole` the file's bytes when it read them all.
  unpack_status unpack_file(int fd, std::uint64_t size, member_visitor& visitor,
                            const file_head& head, std::span<const std::uint8_t> whole = {});
  // A stream whose head (already read) looked packed. On not_packed it may have been read from.
  unpack_status unpack_stream(headed_stream& stream, member_visitor& visitor);

  // Compressed bytes read of the current input so far.
  std::uint64_t compressed_read() const { return compressed_; }
  // Decompressed bytes of the current input handed out so far.
  std::uint64_t produced() const { return produced_; }

 private:
  struct client;
  class member_stream;
  class counted_stream;
  // Starts counting a new input.
  void reset();
  // A stream that `head` shows compressed with `format`, decoded: the archive directly inside
  // it (the same level), or its data as one member with an empty name, unpacked in turn when
  // `depth` allows and it is packed too. not_packed when the decoder refused the first bytes.
  unpack_status unpack_codec(byte_stream& compressed, codec format, unsigned depth, bool top,
                             member_visitor& visitor);
  // The decoded data of one compressed level, as the member `chain_` names.
  unpack_status visit_decoded(headed_stream& decoded, const codec_stream& decoder, unsigned depth,
                              member_visitor& visitor);
  // Reads the archive `source` holds with `formats` (see archive_reader.cpp).
  unpack_status walk(client& source, unsigned depth, bool top, member_visitor& visitor,
                     int formats);
  // The member `entry` of the open archive `a`: searched, reported encrypted, or passed over
  // (not a regular file). Sets `fatal` when the archive cannot be read on.
  unpack_status read_member(archive* a, archive_entry* entry, bool raw, unsigned depth,
                            member_visitor& visitor, bool& fatal);
  // One regular member of an open archive: searched, or unpacked in turn when it is packed.
  unpack_status visit(byte_stream& data, unsigned depth, member_visitor& visitor);
  // The limit the input has gone over, if any, as a reason.
  std::string over_limit() const;
  // Adds `n` decompressed bytes; false when that goes over a limit (the input is then cut).
  bool produce(std::uint64_t n);

  unpack_limits limits_;
  std::vector<std::string> chain_;
  std::uint64_t compressed_ = 0;
  std::uint64_t produced_ = 0;
  bool cut_ = false;
  bool damage_told_ = false;  // a member's message already named the damage of its stream
};

}  // namespace bytrove
