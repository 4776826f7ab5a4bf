#pragma once

// The per-input limit (--max-count; one for --files-with-matches): how many of a block's
// occurrences are still wanted, and where an input that reached it stops. Bytes after the
// last occurrence reported were not needed, so a search stopped there counts bytes up to it,
// however far its reads happened to go, and the summary is the same at any thread count.

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace bytrove {

class input_limit {
 public:
  // `max_count` occurrences per input; 0 for no limit.
  explicit input_limit(std::uint64_t max_count) : max_count_(max_count) {}

  // A new input, or a chunk after `before` occurrences of its input were reported.
  void start(std::uint64_t before) {
    before_ = before;
    stopped_ = false;
    stop_end_ = 0;
  }
  // Of `count` more occurrences, after `found` in this input or chunk, those still wanted.
  std::size_t wanted(std::uint64_t found, std::size_t count) const {
    if (max_count_ == 0) return count;
    const std::uint64_t used = before_ + found;
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(count, used < max_count_ ? max_count_ - used : 0));
  }
  bool reached(std::uint64_t found) const {
    return max_count_ != 0 && before_ + found >= max_count_;
  }

  // The limit was reached at an occurrence ending at input offset `end`.
  void stop_at(std::uint64_t end) {
    stopped_ = true;
    stop_end_ = end;
  }
  bool stopped() const { return stopped_; }
  std::uint64_t stop_end() const { return stop_end_; }
  // The bytes from `start` that count as searched, when `read` were read from there.
  std::uint64_t bytes_from(std::uint64_t start, std::uint64_t read) const {
    return stopped_ ? stop_end_ - start : read;
  }

 private:
  std::uint64_t max_count_;
  std::uint64_t before_ = 0;
  bool stopped_ = false;
  std::uint64_t stop_end_ = 0;
};

}  // namespace bytrove
