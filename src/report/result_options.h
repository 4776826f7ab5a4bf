#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/offsets.h"

namespace bytrove {

enum class result_mode {
  lines,  // a line per occurrence
  count,  // a line per input with its number of occurrences
  files,  // the names of the inputs with an occurrence
};

// What is written for the occurrences of every input, and which bytes of it are searched.
struct result_options {
  result_mode mode = result_mode::lines;
  std::uint64_t max_count = 0;  // per input; 0 for no limit
  std::size_t context = 0;      // bytes dumped before and after each occurrence
  bool json = false;            // one JSON object per line, no banner
  std::uint64_t range_start = 0;
  std::uint64_t range_end = k_no_limit;
  // Packed inputs are unpacked and their members searched, nesting this deep; 0: never.
  unsigned decompress = 0;
  bool null_names = false;    // --null: a name in the count and file modes ends in a NUL byte
  bool include_zero = false;  // --include-zero: a set's counts name every pattern, 0 included
  bool colour = false;        // SGR colours on the offsets of lines and the occurrence in dumps

  bool ranged() const { return range_start != 0 || range_end != k_no_limit; }
  // Only the number of occurrences of each input is written.
  bool counts_only() const { return mode == result_mode::count && max_count == 0; }
};

// The names and lengths of the patterns searched at once (one, unnamed, for a single pattern).
struct pattern_names {
  std::vector<std::string> names;      // empty for a single pattern: lines carry no name
  std::vector<std::uint32_t> lengths;  // m, or a brace pattern's span
};

}  // namespace bytrove

namespace bytrove {

// Occurrences per pattern of a set, cleared in time proportional to the patterns that occurred
// (a set may have thousands; an input usually holds few of them).
class member_counts {
 public:
  void add(std::uint32_t member, std::uint64_t n) {
    if (member >= counts_.size()) counts_.resize(member + 1, 0);
    if (counts_[member] == 0) touched_.push_back(member);
    counts_[member] += n;
  }
  void add(const member_counts& other) {
    for (const std::uint32_t m : other.touched_) add(m, other.counts_[m]);
  }
  std::uint64_t of(std::uint32_t member) const {
    return member < counts_.size() ? counts_[member] : 0;
  }
  // The patterns that occurred, in set order, with their counts.
  template <class visit_fn>
  void each(visit_fn visit) {
    std::sort(touched_.begin(), touched_.end());
    for (const std::uint32_t m : touched_) visit(m, counts_[m]);
  }
  void clear() {
    for (const std::uint32_t m : touched_) counts_[m] = 0;
    touched_.clear();
  }

 private:
  std::vector<std::uint64_t> counts_;
  std::vector<std::uint32_t> touched_;
};

}  // namespace bytrove
