#include "scan/extended_matcher.h"

#include <algorithm>

#include "scan/matcher.h"

namespace bytrove {

extended_matcher::state::state(matcher_kind kind)
    : anchor_search(kind == matcher_kind::horspool ? nullptr : select_block_search(kind),
                    kind == matcher_kind::automatic) {}

extended_matcher::extended_matcher(const extended_pattern& pattern, bool ignore_case) {
  add_member(&pattern, nullptr, ignore_case);
}

extended_matcher::extended_matcher(const pattern_set& set, bool ignore_case) : set_(&set) {
  for (std::size_t i = 0; i < set.members.size(); ++i) {
    const set_member& m = set.members[i];
    if (m.extended) {
      add_member(m.extended.get(), nullptr, ignore_case);
    } else {
      const compiled_pattern plain = set.pattern(i);
      add_member(nullptr, &plain, ignore_case);
    }
  }
  if (anchors_.members.size() > 1) anchor_set_ = std::make_unique<set_matcher>(anchors_);
}

void extended_matcher::add_member(const extended_pattern* pattern, const compiled_pattern* plain,
                                  bool ignore_case) {
  const auto index = static_cast<std::uint32_t>(members_.size());
  member& m = members_.emplace_back();
  m.pattern = pattern;
  compiled_pattern anchor;
  if (plain != nullptr) {
    m.length = static_cast<std::uint32_t>(plain->length);
    m.anchored = true;
    anchor = *plain;
  } else {
    extended_anchor a = choose_extended_anchor(*pattern);
    m.anchored = a.found;
    m.min_offset = a.min_offset;
    m.max_offset = a.max_offset;
    anchor = a.pattern;
  }
  span_ = std::max<std::size_t>(span_, pattern != nullptr ? pattern->max_length : m.length);
  if (!m.anchored) {
    unanchored_.push_back(index);
    return;
  }
  // One anchor is searched with its own plan; several go to the set matcher, which needs none.
  if (anchors_.members.empty()) {
    first_anchor_ = anchor;
    first_anchor_plan_ = build_search_plan(anchor, ignore_case);
  }
  anchors_.add(std::string(), anchor);
  anchor_owner_.push_back(index);
}

void extended_matcher::verify(std::uint32_t index, std::size_t start, const std::uint8_t* buf,
                              std::size_t len, state& st) const {
  const std::uint32_t length = st.verifier.shortest(*members_[index].pattern, buf, len, start);
  if (length != 0) st.hits.push_back({static_cast<std::uint32_t>(start), index, length});
}

void extended_matcher::on_anchor(std::uint32_t index, std::size_t at, const std::uint8_t* buf,
                                 std::size_t len, std::size_t first_start, state& st) const {
  const member& m = members_[index];
  if (m.pattern == nullptr) {
    if (at >= first_start) {
      st.hits.push_back({static_cast<std::uint32_t>(at), index, m.length});
    }
    return;
  }
  if (at < m.min_offset) return;
  const std::size_t last = at - m.min_offset;
  std::size_t s =
      std::max({at - std::min<std::size_t>(at, m.max_offset), st.next_start[index], first_start});
  for (; s <= last; ++s) verify(index, s, buf, len, st);
  st.next_start[index] = std::max(st.next_start[index], last + 1);
}

std::size_t extended_matcher::first_open_start(const std::uint8_t* buf, std::size_t len,
                                               std::size_t from, std::size_t to, state& st) const {
  constexpr std::size_t k_most_checks = std::size_t{1} << 20;
  if (to <= from || (to - from) > k_most_checks / members_.size()) return from;
  for (std::size_t s = from; s < to; ++s) {
    for (const member& m : members_) {
      // A plain member is undecided while it runs past the data (a few bytes at most).
      const bool open = m.pattern == nullptr
                            ? s + m.length > len
                            : st.verifier.could_still_match(*m.pattern, buf, len, s);
      if (open) return s;
    }
  }
  return to;
}

void extended_matcher::search(std::uint8_t* buf, std::size_t len, std::size_t first_start,
                              state& st) const {
  st.hits.clear();
  st.next_start.assign(members_.size(), 0);
  if (st.anchor_starts.size() < len + 1) {  // once: room for a block and its carry
    st.anchor_starts.resize(std::max(len + span_ + 1, 4 * anchors_.members.size()));
    if (anchor_set_ != nullptr) st.anchor_members.resize(st.anchor_starts.size());
  }
  if (anchor_set_ != nullptr) {
    for (std::size_t next = 0; next < len;) {
      const set_matcher::result r =
          anchor_set_->search(buf, len, next, 0, st.anchor_starts.data(), st.anchor_members.data(),
                              st.anchor_starts.size(), st.anchor_work);
      for (std::size_t i = 0; i < r.count; ++i) {
        on_anchor(anchor_owner_[st.anchor_members[i]], st.anchor_starts[i], buf, len, first_start,
                  st);
      }
      next = r.next;
    }
  } else if (!anchors_.members.empty()) {
    plant_pattern_copy(buf, len, first_anchor_, first_anchor_plan_);
    const block_job job{buf, len, &first_anchor_, &first_anchor_plan_, first_anchor_plan_.anchors};
    const std::size_t n = st.anchor_search.search(job, st.anchor_starts.data()).matches;
    for (std::size_t i = 0; i < n; ++i) {
      on_anchor(anchor_owner_.front(), st.anchor_starts[i], buf, len, first_start, st);
    }
  }
  for (const std::uint32_t index : unanchored_) {
    for (std::size_t s = first_start; s < len; ++s) verify(index, s, buf, len, st);
  }
  if (members_.size() > 1) {
    std::sort(st.hits.begin(), st.hits.end(), [](const state::hit& x, const state::hit& y) {
      return x.start != y.start ? x.start < y.start : x.member < y.member;
    });
  }
  st.starts.resize(st.hits.size());
  st.members.resize(st.hits.size());
  st.lengths.resize(st.hits.size());
  for (std::size_t i = 0; i < st.hits.size(); ++i) {
    st.starts[i] = st.hits[i].start;
    st.members[i] = st.hits[i].member;
    st.lengths[i] = st.hits[i].length;
  }
}

}  // namespace bytrove
