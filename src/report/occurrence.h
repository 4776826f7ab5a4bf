#pragma once

// One occurrence as the writers see it, taken from a block the scanner found, and the bytes
// dumped around it. Shared by every output form.

#include <cstddef>
#include <cstdint>
#include <string>

#include "report/result_options.h"
#include "scan/block_scanner.h"

namespace bytrove {

struct occurrence {
  std::uint64_t offset;  // in the input
  std::uint32_t member;  // the pattern of a set; 0 for a single pattern
  std::uint32_t length;  // of the shortest match there

  std::uint64_t end() const { return offset + length; }
};

// The i-th occurrence of `block`: a brace pattern's length varies, a plain one's does not.
inline occurrence occurrence_at(const found_block& block, std::size_t i,
                                const pattern_names& patterns) {
  const std::uint32_t member = block.members == nullptr ? 0 : block.members[i];
  return {block.base + block.starts[i], member,
          block.lengths != nullptr ? block.lengths[i] : patterns.lengths[member]};
}

// The name a record gives the pattern of `o`; null for a single pattern (its lines carry none).
inline const std::string* pattern_name(const pattern_names& patterns, const occurrence& o) {
  return patterns.names.empty() ? nullptr : &patterns.names[o.member];
}

// The bytes dumped around an occurrence (--context): `size` bytes from input offset `offset`.
struct context_bytes {
  std::uint64_t offset = 0;
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

}  // namespace bytrove
