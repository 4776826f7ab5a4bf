// The ordered window of tasks. Tasks are numbered in the order the calling thread submits them
// (head_seq_ is the number of the oldest unwritten one); workers take them in that order
// (next_dispatch_). At most window_ tasks are in flight: a submitter that finds the window full
// waits until half of it is written (one wake-up per many tasks), which also bounds the files
// held open. Idle workers are woken when a task waits for them. The pen goes to whoever
// finishes the oldest task: the leader, which writes every finished task after it in order
// (drain_with_pen) and gives the pen back. Every function here states which of the engine's
// mutex and pen it needs (parallel_search.h).

#include <utility>

#include "search/parallel_search.h"

namespace bytrove {

bool parallel_search::is_head(const task& t) const {
  return !tasks_.empty() && tasks_.front().get() == &t;
}

void parallel_search::wake_workers() {
  if (idle_workers_ > 0 && head_seq_ + tasks_.size() > next_dispatch_) work_cv_.notify_all();
}

task* parallel_search::take_next_task() {
  next_dispatch_ = std::max(next_dispatch_, head_seq_);
  const std::uint64_t end = head_seq_ + tasks_.size();
  while (next_dispatch_ < end && tasks_[next_dispatch_ - head_seq_]->done) ++next_dispatch_;
  if (next_dispatch_ == end) return nullptr;
  return tasks_[next_dispatch_++ - head_seq_].get();
}

void parallel_search::push(std::unique_ptr<task> t) {
  checked_lock lock(mutex_);
  if (tasks_.size() >= window_ && !stop_) {
    wake_workers();
    // Wait until half the window is free: one wake-up per many tasks, not one per task.
    submitter_waiting_ = true;
    while (!stop_ && tasks_.size() > window_ / 2) mutex_.wait(room_cv_);
    submitter_waiting_ = false;
  }
  if (stop_) {
    lock.unlock();
    for (const task_input& p : t->inputs) release_input(*p.in);
    return;
  }
  const bool done = t->done;
  tasks_.push_back(std::move(t));
  if (done) {
    write_finished();
  } else if (idle_workers_ > 0) {
    // A wake-up per task: batches already make a task worth one.
    work_cv_.notify_all();
  }
}

void parallel_search::flush_batch() {
  if (batch_ == nullptr) return;
  batch_bytes_ = 0;
  push(std::move(batch_));
}

// The pen is a tag: taking it is recording who has it, which the compiler cannot see into.
void parallel_search::take_pen() NO_THREAD_SAFETY_ANALYSIS { pen_taken_ = true; }

void parallel_search::give_back_pen() NO_THREAD_SAFETY_ANALYSIS { pen_taken_ = false; }

void parallel_search::lend_pen() { pen_taken_ = true; }

void parallel_search::write_finished() {
  if (!pen_free() || tasks_.empty() || !tasks_.front()->done) return;
  take_pen();
  drain_with_pen();
}

void parallel_search::drain_with_pen() {
  while (!tasks_.empty() && tasks_.front()->done && !stop_) {
    std::unique_ptr<task> t = std::move(tasks_.front());
    tasks_.pop_front();
    ++head_seq_;
    held_bytes_ -= t->held_bytes;
    mutex_.unlock();
    commit_task(*t);
    mutex_.lock();
    recycle(t->held);
  }
  give_back_pen();
  state_cv_.notify_all();
  if (submitter_waiting_ && tasks_.size() <= window_ / 2) room_cv_.notify_one();
}

void parallel_search::wait_until_written() {
  flush_batch();
  const checked_lock lock(mutex_);
  wake_workers();
  while (!stop_ && !(tasks_.empty() && pen_free())) mutex_.wait(state_cv_);
}

void parallel_search::stop() {
  {
    const checked_lock lock(mutex_);
    stop_ = true;
  }
  work_cv_.notify_all();
  state_cv_.notify_all();
  room_cv_.notify_all();
}

void parallel_search::release_input(shared_input& in) {
  if (in.tasks_left.fetch_sub(1) != 1) return;
  close_input(in);
}

void parallel_search::close_input(shared_input& in) {
  if (in.fd >= 0) fs_.close_file(in.fd);
  in.fd = -1;
  const checked_lock lock(mutex_);
  --open_files_;
  if (submitter_waiting_) room_cv_.notify_one();
}

void parallel_search::close_opened(shared_input& in) {
  fs_.close_file(in.fd);
  in.fd = -1;
  opened_by_workers_.fetch_sub(1);
  if (descriptors_wanted_.load()) {
    // Under the mutex, so that the waiter cannot miss it between its test and its wait.
    const checked_lock lock(mutex_);
    state_cv_.notify_all();
  }
}

void parallel_search::take_file_room() {
  checked_lock lock(mutex_);
  if (open_files_ >= open_file_budget_ && !stop_) {
    lock.unlock();
    flush_batch();  // its files are held too: let them be searched and closed
    lock.lock();
    wake_workers();
    submitter_waiting_ = true;
    while (!stop_ && open_files_ >= open_file_budget_) mutex_.wait(room_cv_);
    submitter_waiting_ = false;
  }
  ++open_files_;
}

bool parallel_search::wait_for_descriptors(const task& t, bool first_wait) {
  checked_lock lock(mutex_);
  if (first_wait) {
    // Every file before this task is closed once it is the oldest.
    while (!stop_ && !is_head(t)) mutex_.wait(state_cv_);
    return !stop_;
  }
  // Files other workers opened are closed as soon as they are searched, unless one waits for
  // room for its output, which only this task's writing makes: then waiting cannot help.
  descriptors_wanted_ = true;
  const unsigned held = opened_by_workers_.load();
  if (held == 0 || held_bytes_ > options_.output_budget) {
    descriptors_wanted_ = false;
    return false;
  }
  while (!stop_ && opened_by_workers_.load() >= held && held_bytes_ <= options_.output_budget) {
    mutex_.wait(state_cv_);
  }
  descriptors_wanted_ = false;
  return !stop_;
}

bool parallel_search::wait_for_descriptors() {
  {
    const checked_lock lock(mutex_);
    if (open_files_ == 0) return false;
  }
  wait_until_written();
  return !stop_;
}

}  // namespace bytrove
