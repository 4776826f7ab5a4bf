#pragma once

// Finds extended (brace) patterns, alone or in a set with plain ones, block by block.
//
// Every member has an anchor (see choose_extended_anchor): a plain pattern each occurrence
// holds min_offset..max_offset bytes after its start. The anchors are found with the machinery
// plain patterns use (one anchor: the single-pattern search and its vector filters; several:
// the set matcher over the anchors), and each anchor hit at a stands for the starts
// a - max_offset .. a - min_offset, which the verifier decides one by one (each start once per
// member: windows of later hits begin where earlier ones ended). A plain member of a mixed set
// is its own anchor and needs no verification. A member without an anchor (all nibbles,
// negations or alternatives) has every start verified: correct, and slower.
//
// Worst case per block: hits x (max_offset - min_offset + 1) starts, each costing up to
// items x span in the verifier (e.g. `{ 00 [0-65535] 00 ?? }` over zeros); the common case is a
// rare anchor and one start per hit. Hits of a block are collected, then ordered by
// (start, member): memory grows with the hits of one block, never with the input.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "pattern/extended_pattern.h"
#include "pattern/pattern_set.h"
#include "pattern/search_plan.h"
#include "scan/adaptive_matcher.h"
#include "scan/extended_verifier.h"
#include "scan/set_matcher.h"
#include "scan/single_matchers.h"

namespace bytrove {

class extended_matcher {
 public:
  // One extended pattern; outlives the matcher.
  extended_matcher(const extended_pattern& pattern, bool ignore_case);
  // A set with at least one extended member (set_member::extended); outlives the matcher.
  extended_matcher(const pattern_set& set, bool ignore_case);

  // The longest occurrence any member may have.
  std::size_t span() const { return span_; }
  bool is_set() const { return set_ != nullptr; }

  // What one thread searches with, and the hits of its last block.
  class state {
   public:
    explicit state(matcher_kind kind);
    std::vector<std::uint32_t> starts;
    std::vector<std::uint32_t> members;
    std::vector<std::uint32_t> lengths;  // the shortest match at each start

   private:
    friend class extended_matcher;
    struct hit {
      std::uint32_t start;
      std::uint32_t member;
      std::uint32_t length;
    };
    adaptive_matcher anchor_search;
    extended_verifier verifier;
    std::vector<std::uint32_t> anchor_starts;
    std::vector<std::uint32_t> anchor_members;
    set_matcher::work_buffers anchor_work;
    std::vector<std::size_t> next_start;  // per member: starts below are decided
    std::vector<hit> hits;
  };

  // Finds, in order of (start, member), every occurrence in buf[0, len) that starts at or
  // after `first_start` (those before were handed out with an earlier block), into
  // st.starts / members / lengths. buf has room after len for a planted anchor and
  // k_search_slack bytes more (as block_job requires); those bytes are overwritten.
  void search(std::uint8_t* buf, std::size_t len, std::size_t first_start, state& st) const;

  // The first start in [from, to) where some member may still match once bytes past `len`
  // come; `to` when none may. Costs up to (to - from) x members checks, most rejected by their
  // first byte; past a bound it answers `from` without looking (every start kept undecided).
  std::size_t first_open_start(const std::uint8_t* buf, std::size_t len, std::size_t from,
                               std::size_t to, state& st) const;

 private:
  struct member {
    const extended_pattern* pattern = nullptr;  // null: a plain member, found by its anchor
    std::uint32_t length = 0;                   // a plain member's m
    std::uint32_t min_offset = 0;
    std::uint32_t max_offset = 0;
    bool anchored = false;
  };
  void add_member(const extended_pattern* pattern, const compiled_pattern* plain, bool ignore_case);
  void on_anchor(std::uint32_t index, std::size_t at, const std::uint8_t* buf, std::size_t len,
                 std::size_t first_start, state& st) const;
  void verify(std::uint32_t index, std::size_t start, const std::uint8_t* buf, std::size_t len,
              state& st) const;

  const pattern_set* set_ = nullptr;
  std::vector<member> members_;
  pattern_set anchors_;            // the anchored members' anchors
  compiled_pattern first_anchor_;  // anchors_'s first member, and its plan
  search_plan first_anchor_plan_;
  std::vector<std::uint32_t> anchor_owner_;  // anchors_ index -> member index
  std::vector<std::uint32_t> unanchored_;    // members verified at every start
  std::unique_ptr<set_matcher> anchor_set_;  // when more than one member is anchored
  std::size_t span_ = 1;
};

}  // namespace bytrove
