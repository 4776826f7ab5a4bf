#pragma once

// Decoding a packed input on a thread of its own while the calling thread searches what it
// decoded. The unpacking (an archive_reader's, handed in as a function of its visitor) runs on
// the new thread, at most k_decode_buffers buffers of the search's block size ahead; every call
// it makes to its visitor (a member, the member's bytes, a problem) is replayed on the calling
// thread, in the same order, into the visitor the caller gives. Owns the thread and the buffers;
// the unpacker is the caller's and is touched by the decoding thread only while run() runs.
//
// Each member is read in whole blocks, the sizes the block scanner asks for when it reads a
// stream from its first byte to its end: the unpacker sees the same reads as a search on one
// thread, so its expansion limit cuts at the same byte and damage is found at the same place.
// That holds only while the search reads every member to its end: the caller uses this only
// when no per-member limit, name-only mode or range can stop a member's search early.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>

#include "source/archive_reader.h"

namespace bytrove {

// Buffers decoded ahead of the search, per input being decoded: one being filled, one waiting,
// one being searched.
inline constexpr std::size_t k_decode_buffers = 3;
// Visits (members, problems) waiting at most: an archive of many empty or encrypted members
// holds no buffers, and must not queue without bound either.
inline constexpr std::size_t k_decode_events = 64;

class decode_ahead {
 public:
  using unpack_fn = std::function<unpack_status(member_visitor&)>;

  // `block_size`: what the search asks for per read (its block scanner's block size).
  explicit decode_ahead(std::size_t block_size);
  ~decode_ahead();
  decode_ahead(const decode_ahead&) = delete;
  decode_ahead& operator=(const decode_ahead&) = delete;

  // Runs `unpack` on a thread of its own and replays its visits into `consumer` on this one;
  // returns what `unpack` returned (stopped when `consumer` asked to stop). Empty when the
  // thread or its buffers could not be had: nothing was read, the caller unpacks by itself.
  // Rethrows std::bad_alloc when the decoding thread ran out of memory.
  std::optional<unpack_status> run(const unpack_fn& unpack, member_visitor& consumer);

 private:
  class channel;
  class producer;
  class replay;
  std::size_t block_size_;
  std::unique_ptr<channel> channel_;
};

}  // namespace bytrove
