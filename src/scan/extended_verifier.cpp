#include "scan/extended_verifier.h"

#include <algorithm>
#include <bit>

namespace bytrove {

std::size_t extended_verifier::acquire() {
  if (free_.empty()) {
    pool_.emplace_back().words.assign(words_, 0);
    return pool_.size() - 1;
  }
  const std::size_t s = free_.back();
  free_.pop_back();
  return s;
}

void extended_verifier::release(std::size_t set) {
  offsets& s = pool_[set];
  if (s.lo <= s.hi) std::fill(s.words.begin() + s.lo / 64, s.words.begin() + s.hi / 64 + 1, 0);
  s.lo = 1;
  s.hi = 0;
  free_.push_back(set);
}

void extended_verifier::insert(offsets& s, std::uint32_t p) {
  s.words[p / 64] |= std::uint64_t{1} << (p % 64);
  if (s.lo > s.hi) {
    s.lo = s.hi = p;
  } else {
    s.lo = std::min(s.lo, p);
    s.hi = std::max(s.hi, p);
  }
}

void extended_verifier::insert_range(offsets& s, std::uint32_t from, std::uint32_t to) {
  const auto mask_from = [](std::uint32_t bit) { return ~std::uint64_t{0} << (bit % 64); };
  const auto mask_to = [](std::uint32_t bit) { return ~std::uint64_t{0} >> (63 - bit % 64); };
  const std::uint32_t wf = from / 64;
  const std::uint32_t wt = to / 64;
  if (wf == wt) {
    s.words[wf] |= mask_from(from) & mask_to(to);
  } else {
    s.words[wf] |= mask_from(from);
    std::fill(s.words.begin() + wf + 1, s.words.begin() + wt, ~std::uint64_t{0});
    s.words[wt] |= mask_to(to);
  }
  insert(s, from);
  insert(s, to);
}

std::size_t extended_verifier::apply(const extended_item& item, std::size_t in) {
  const std::size_t out = acquire();
  switch (item.type) {
    case extended_item::kind::bytes:
    case extended_item::kind::jump: {
      const bool is_jump = item.type == extended_item::kind::jump;
      std::uint32_t filled = 0;  // with jumps: offsets below this are in `out` already
      const offsets& from = pool_[in];
      offsets& to = pool_[out];
      for (std::uint32_t w = from.lo / 64; from.lo <= from.hi && w <= from.hi / 64; ++w) {
        for (std::uint64_t bits = from.words[w]; bits != 0; bits &= bits - 1) {
          const std::uint32_t p = w * 64 + static_cast<std::uint32_t>(std::countr_zero(bits));
          if (!is_jump) {
            if (p < limit_) {
              if (item.accepts.has(base_[p])) insert(to, p + 1);
            } else {
              ran_past_ = true;
            }
            continue;
          }
          if (p + item.max > limit_) ran_past_ = true;
          const std::uint32_t lo = std::max(p + item.min, filled);
          const std::uint32_t hi = std::min(p + item.max, limit_);
          if (lo <= hi) insert_range(to, lo, hi);
          filled = std::max(filled, hi + 1);
        }
      }
      break;
    }
    case extended_item::kind::choice:
      for (const std::vector<extended_item>& branch : item.branches) {
        const std::size_t ends = run(branch, in);
        const offsets& e = pool_[ends];
        offsets& to = pool_[out];
        if (e.lo <= e.hi) {
          for (std::uint32_t w = e.lo / 64; w <= e.hi / 64; ++w) to.words[w] |= e.words[w];
          insert(to, e.lo);
          insert(to, e.hi);
        }
        release(ends);
      }
      break;
  }
  return out;
}

std::size_t extended_verifier::run(const std::vector<extended_item>& items, std::size_t in) {
  std::size_t current = in;
  for (const extended_item& item : items) {
    const std::size_t next = apply(item, current);
    if (current != in) release(current);
    current = next;
    if (pool_[current].lo > pool_[current].hi) break;
  }
  if (current == in) {  // an empty sequence cannot be parsed, but stay total
    current = acquire();
    const offsets& s = pool_[in];
    if (s.lo <= s.hi) {
      std::copy(s.words.begin() + s.lo / 64, s.words.begin() + s.hi / 64 + 1,
                pool_[current].words.begin() + s.lo / 64);
      pool_[current].lo = s.lo;
      pool_[current].hi = s.hi;
    }
  }
  return current;
}

std::size_t extended_verifier::follow(const extended_pattern& pattern, const std::uint8_t* data,
                                      std::size_t len, std::size_t start) {
  const std::size_t words = pattern.max_length / 64 + 2;
  if (words != words_) {
    pool_.clear();
    free_.clear();
    words_ = words;
  }
  base_ = data + start;
  limit_ = static_cast<std::uint32_t>(std::min<std::size_t>(len - start, pattern.max_length));
  ran_past_ = false;
  const std::size_t begin = acquire();
  insert(pool_[begin], 0);
  const std::size_t ends = run(pattern.items, begin);
  release(begin);
  return ends;
}

std::uint32_t extended_verifier::shortest(const extended_pattern& pattern, const std::uint8_t* data,
                                          std::size_t len, std::size_t start) {
  if (start >= len) return 0;
  const extended_item& first = pattern.items.front();
  if (first.type == extended_item::kind::bytes && !first.accepts.has(data[start])) return 0;
  if (len - start < pattern.min_length) return 0;
  const std::size_t ends = follow(pattern, data, len, start);
  const offsets& e = pool_[ends];
  const std::uint32_t shortest = e.lo <= e.hi ? e.lo : 0;
  release(ends);
  return shortest;
}

bool extended_verifier::could_still_match(const extended_pattern& pattern, const std::uint8_t* data,
                                          std::size_t len, std::size_t start) {
  if (start >= len) return true;                        // nothing of it has come: anything may
  if (len - start >= pattern.max_length) return false;  // every match would lie within
  const extended_item& first = pattern.items.front();
  if (first.type == extended_item::kind::bytes && !first.accepts.has(data[start])) return false;
  const std::size_t ends = follow(pattern, data, len, start);
  const bool found = pool_[ends].lo <= pool_[ends].hi;
  release(ends);
  return !found && ran_past_;
}

}  // namespace bytrove
