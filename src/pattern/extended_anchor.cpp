// Chooses the anchor of an extended pattern (see extended_anchor in extended_pattern.h).

#include <algorithm>
#include <cmath>
#include <vector>

#include "pattern/byte_frequency.h"
#include "pattern/extended_pattern.h"

namespace bytrove {
namespace {

// One position of a run: a byte (value, fold) or anything else (value -1).
struct run_position {
  int value = -1;
  bool fold = false;
};

// A run of fixed-length items and the offsets, from an occurrence's start, it may begin at.
struct fixed_run {
  std::vector<run_position> positions;
  std::uint32_t min_offset = 0;
  std::uint32_t max_offset = 0;
};

run_position classify(const byte_class& accepts) {
  run_position p;
  const int n = accepts.count();
  if (n != 1 && n != 2) return p;
  unsigned v = 0;
  while (!accepts.has(v)) ++v;
  const bool letter = (v | 0x20) >= 'a' && (v | 0x20) <= 'z';
  if (n == 2 && !(letter && accepts.has(v | 0x20))) return p;
  p.value = static_cast<int>(n == 2 ? (v | 0x20) : v);
  p.fold = n == 2;
  return p;
}

std::vector<fixed_run> fixed_runs(const extended_pattern& pattern) {
  std::vector<fixed_run> runs(1);
  std::uint64_t lo = 0;
  std::uint64_t hi = 0;
  for (const extended_item& item : pattern.items) {
    if (item.type == extended_item::kind::bytes) {
      runs.back().positions.push_back(classify(item.accepts));
    } else if (item.type == extended_item::kind::choice && item.min == item.max) {
      runs.back().positions.insert(runs.back().positions.end(), item.min, run_position{});
    } else {
      lo += runs.back().positions.size() + item.min;
      hi += runs.back().positions.size() + item.max;
      fixed_run next;
      next.min_offset = static_cast<std::uint32_t>(lo);
      next.max_offset = static_cast<std::uint32_t>(std::min<std::uint64_t>(hi, ~0u));
      runs.push_back(std::move(next));
    }
  }
  return runs;
}

// Bits of surprise in meeting the position's byte(s), by the frequency table.
double rarity(const run_position& p) {
  static const double total = [] {
    double sum = 0;
    for (const std::int16_t f : byte_frequency) sum += f + 1.0;
    return sum;
  }();
  if (p.value < 0) return 0.0;
  double f = byte_frequency[static_cast<std::size_t>(p.value)] + 1.0;
  if (p.fold) f += byte_frequency[static_cast<std::size_t>(p.value & 0xDF)] + 1.0;
  return -std::log2(f / total);
}

}  // namespace

extended_anchor choose_extended_anchor(const extended_pattern& pattern) {
  extended_anchor best;
  double best_score = 0.0;
  for (const fixed_run& run : fixed_runs(pattern)) {
    const std::size_t n = run.positions.size();
    // Each window starts and ends on a byte and holds at most 256 positions; the longest
    // from each start is the rarest from there.
    for (std::size_t i = 0; i < n; ++i) {
      if (run.positions[i].value < 0) continue;
      double bits = 0.0;
      std::size_t end = i;
      for (std::size_t j = i; j < n && j < i + k_max_positions; ++j) {
        if (run.positions[j].value < 0) continue;
        bits += rarity(run.positions[j]);
        end = j;
      }
      const double score =
          bits - std::log2(1.0 + static_cast<double>(run.max_offset - run.min_offset));
      if (best.found && score <= best_score) continue;
      best.found = true;
      best_score = score;
      best.min_offset = run.min_offset + static_cast<std::uint32_t>(i);
      best.max_offset = run.max_offset + static_cast<std::uint32_t>(i);
      compiled_pattern& a = best.pattern;
      a = compiled_pattern{};
      for (std::size_t j = i; j <= end; ++j) {
        const run_position& p = run.positions[j];
        const auto k = a.length++;
        a.value[k] = static_cast<std::int16_t>(p.value < 0 ? k_wildcard : p.value);
        a.fold[k] = p.fold ? 1 : 0;
        if (p.value < 0) {
          a.wild_end = k + 1;
        } else {
          a.concrete[a.concrete_count++] = k;
        }
      }
    }
  }
  return best;
}

}  // namespace bytrove
