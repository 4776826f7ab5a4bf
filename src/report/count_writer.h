#pragma once

// The count form (--count): a line per input with its number of occurrences, per pattern for a
// set: "<name>:<count>", "<name>:<pattern>:<count>", or {"type":"count",...} records with
// --json. input_tally keeps what the count needs besides the number (the counts per pattern)
// and, when asked, where the first occurrences are, so that a chunk that only counted can have
// its lines written later without searching again.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report/occurrence.h"
#include "report/result_options.h"
#include "report/result_writer.h"

namespace bytrove {

struct input_tally {
  member_counts per_member;  // a set's occurrences, pattern by pattern
  // The first occurrences, up to `record_limit` of them (0: none kept); `overflowed` once
  // there were more.
  std::size_t record_limit = 0;
  bool overflowed = false;
  std::vector<std::uint64_t> offsets;
  std::vector<std::uint32_t> members;
  std::vector<std::uint32_t> lengths;

  void clear() {
    per_member.clear();
    overflowed = false;
    offsets.clear();
    members.clear();
    lengths.clear();
  }
  // Adds the first `count` occurrences of `block`.
  void add(const found_block& block, std::size_t count, const pattern_names& patterns) {
    if (block.members != nullptr) {
      for (std::size_t i = 0; i < count; ++i) per_member.add(block.members[i], 1);
    }
    if (record_limit == 0 || overflowed || count == 0) return;
    if (offsets.size() + count > record_limit) {
      overflowed = true;
      return;
    }
    for (std::size_t i = 0; i < count; ++i) {
      const occurrence o = occurrence_at(block, i, patterns);
      offsets.push_back(o.offset);
      members.push_back(o.member);
      lengths.push_back(o.length);
    }
  }
};

// The count lines of input `name` with `total` occurrences (`per_member` of them per pattern
// of a set). `json_name`, when not empty, names it in JSON records in place of "path":"<name>".
std::string count_lines(const result_options& options, const pattern_names& patterns,
                        std::string_view name, std::uint64_t total, member_counts& per_member,
                        std::string_view json_name);

template <class sink_type>
class count_writer final : public result_writer<sink_type> {
 public:
  // Counts into `tally`, which the caller clears for each input.
  count_writer(const result_options& options, const pattern_names& patterns, input_tally& tally)
      : options_(options), patterns_(patterns), tally_(tally) {}

  void start(std::string_view name, std::string_view json_name) override {
    name_ = name;
    json_name_ = json_name;
  }
  void write(sink_type&, const found_block& block, std::size_t count) override {
    tally_.add(block, count, patterns_);
  }
  void finish(sink_type& sink, bool whole, std::uint64_t found) override {
    if (whole) {
      sink.write(count_lines(options_, patterns_, name_, found, tally_.per_member, json_name_));
    }
  }

 private:
  const result_options& options_;
  const pattern_names& patterns_;
  input_tally& tally_;
  std::string name_;
  std::string json_name_;
};

}  // namespace bytrove
