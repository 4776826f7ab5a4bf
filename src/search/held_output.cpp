#include "search/held_output.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <utility>

namespace bytrove {

char* task_output::reserve(std::size_t n) {
  if (holds_pen_) return engine_.out_.reserve(n);
  if (buffer_ == nullptr) {
    if (spare_ != nullptr) {
      buffer_ = std::move(spare_);
    } else {
      const checked_lock lock(engine_.mutex_);
      buffer_ = engine_.take_held_buffer();
    }
  }
  if (k_held_buffer_size - used_ < n) {
    hand_over();
    if (holds_pen_) return engine_.out_.reserve(n);
  }
  return buffer_.get() + used_;
}

void task_output::write(std::string_view text) {
  while (!text.empty()) {
    const std::size_t take = std::min(text.size(), k_capacity);
    std::memcpy(reserve(take), text.data(), take);
    commit(take);
    text.remove_prefix(take);
  }
}

void task_output::message(std::string text) {
  if (holds_pen_) {
    engine_.pen_held_by_task();
    engine_.write_message(text);
    engine_.stop_if_output_failed();
    return;
  }
  const checked_lock lock(engine_.mutex_);
  hold_buffer();
  task_.held.push_back({nullptr, 0, std::move(text)});
}

void task_output::finish() {
  if (holds_pen_ || used_ == 0) return;
  const checked_lock lock(engine_.mutex_);
  hold_buffer();
}

void task_output::hold_buffer() {
  if (used_ == 0) return;
  task_.held.push_back({std::move(buffer_), used_, {}});
  task_.held_bytes += used_;
  engine_.held_bytes_ += used_;
  used_ = 0;
}

bool task_output::input_ended() const {
  return task_.inputs.size() == 1 && task_.inputs.front().in->ended.load();
}

void task_output::hand_over() {
  checked_lock lock(engine_.mutex_);
  hold_buffer();
  for (;;) {
    if (engine_.stop_) break;
    if (engine_.is_head(task_) && engine_.pen_free() && !input_ended()) {
      engine_.lend_pen();
      holds_pen_ = true;
      break;
    }
    if (engine_.held_bytes_ <= engine_.options_.output_budget || input_ended()) break;
    engine_.mutex_.wait(engine_.state_cv_);
  }
  if (!holds_pen_) {
    if (buffer_ == nullptr) buffer_ = engine_.take_held_buffer();
    return;
  }
  write_held_with_pen();
}

void task_output::write_held_with_pen() {
  engine_.pen_held_by_task();
  std::deque<held_buffer> held = std::move(task_.held);
  task_.held.clear();
  engine_.held_bytes_ -= task_.held_bytes;
  task_.held_bytes = 0;
  engine_.mutex_.unlock();
  engine_.write_held(held);
  engine_.stop_if_output_failed();
  engine_.mutex_.lock();
  engine_.recycle(held);
}

// The engine's side: the shared pool of buffers, and writing what was held.

std::unique_ptr<char[]> parallel_search::take_held_buffer() {
  if (free_buffers_.empty()) return std::unique_ptr<char[]>(new char[k_held_buffer_size]);
  std::unique_ptr<char[]> buffer = std::move(free_buffers_.back());
  free_buffers_.pop_back();
  return buffer;
}

void parallel_search::recycle(std::deque<held_buffer>& held) {
  // Buffers go round between the threads instead of back to the allocator: memory freed by
  // another thread than the one that took it stays resident in each thread's arena, which
  // doubled the peak with two workers.
  const std::size_t keep = options_.output_budget / k_held_buffer_size + 2 * options_.workers;
  for (held_buffer& b : held) {
    if (b.data != nullptr && free_buffers_.size() < keep)
      free_buffers_.push_back(std::move(b.data));
  }
  held.clear();
}

void parallel_search::write_held(const std::deque<held_buffer>& held) {
  for (const held_buffer& b : held) {
    if (b.message.empty()) {
      out_.write(std::string_view(b.data.get(), b.size));
    } else {
      write_message(b.message);
    }
  }
}

void parallel_search::write_message(std::string_view message) { write_error(out_, err_, message); }

bool parallel_search::stop_if_output_failed() {
  if (!out_.failed()) return false;
  stop();
  return true;
}

}  // namespace bytrove
