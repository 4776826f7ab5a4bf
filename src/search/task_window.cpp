// The ordered window of tasks. Tasks are numbered in the order the calling thread submits them
// (head_seq_ is the number of the oldest unwritten one); workers take them in that order
// (next_dispatch_, at or before the first task not taken). At most window_ tasks are in flight:
// a submitter that finds the window full waits until half of it is written (one wake-up per
// many tasks), which also bounds the files held open. A worker that finds a file of its batch
// too large to search whole places the file's chunks and the rest of its batch right after its
// task; the chunks are handed out one by one as they are taken, within the window. Idle workers
// are woken when a task waits for them. The pen goes to whoever
// finishes the oldest task: the leader, which writes every finished task after it in order
// (drain_with_pen) and gives the pen back. Every function here states which of the engine's
// mutex and pen it needs (parallel_search.h).

#include <algorithm>
#include <iterator>
#include <utility>

#include "search/chunk_plan.h"
#include "search/parallel_search.h"
#include "search/worker_state.h"

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
  while (next_dispatch_ < end) {
    const task& t = *tasks_[next_dispatch_ - head_seq_];
    if (!t.done && !t.taken) break;
    ++next_dispatch_;
  }
  if (next_dispatch_ == end) return nullptr;
  const std::size_t at = next_dispatch_ - head_seq_;
  if (tasks_[at]->pending) return hand_out_chunk(at);
  tasks_[at]->taken = true;
  ++next_dispatch_;
  return tasks_[at].get();
}

task* parallel_search::hand_out_chunk(std::size_t at) {
  if (at >= window_) return nullptr;
  task& rest = *tasks_[at];
  pending_chunks& pending = *rest.pending;
  const chunk_range& range = pending.ranges[pending.next++];
  task_input p = rest.inputs.front();
  p.first = pending.next == 1;
  p.last = pending.next == pending.ranges.size();
  p.start = range.start;
  p.limit = range.limit;
  p.skipped = range.skipped;
  if (p.last) {
    rest.pending.reset();
    rest.inputs.front() = std::move(p);
    rest.taken = true;
    ++next_dispatch_;
    return &rest;
  }
  auto chunk = std::make_unique<task>();
  chunk->inputs.push_back(std::move(p));
  chunk->taken = true;
  task* const taken = chunk.get();
  // Its share of the input before the task is placed: a stop releases whatever is placed.
  taken->inputs.front().in->tasks_left.fetch_add(1);
  tasks_.insert(tasks_.begin() + static_cast<std::ptrdiff_t>(at), std::move(chunk));
  ++next_dispatch_;  // the pending chunks again
  return taken;
}

void parallel_search::split_task(task& t, std::size_t at, worker_state& state) {
  task_input& large = t.inputs[at];
  shared_input& in = *large.in;
  auto chunks = std::make_unique<task>();
  chunks->pending = std::make_unique<pending_chunks>();
  chunks->pending->ranges =
      plan_chunks(clip_reads(plan_reads(in.fd, large.size, target_.length, target_.zeros_can_match),
                             results_.range_start, results_.range_end),
                  large.size, options_.chunk_size, results_.range_end);
  task_input pattern;
  pattern.in = large.in;
  pattern.mode = read_mode::positioned;
  pattern.size = large.size;
  pattern.known_end = large.known_end;
  chunks->inputs.push_back(std::move(pattern));
  std::unique_ptr<task> after;
  if (at + 1 < t.inputs.size()) {
    after = std::make_unique<task>();
    after->inputs.assign(
        std::make_move_iterator(t.inputs.begin() + static_cast<std::ptrdiff_t>(at) + 1),
        std::make_move_iterator(t.inputs.end()));
    after->dirs = t.dirs;  // where its unopened inputs were listed
  }
  t.inputs.resize(at);
  // Held open like a file the walk opened, until its last chunk is written: the pending chunks
  // hold one share of it, each chunk handed out one more.
  in.unopened = false;
  in.tasks_left.store(1);
  state.opened->fetch_sub(1);
  const checked_lock lock(mutex_);
  std::size_t place = 0;
  while (tasks_[place].get() != &t) ++place;
  auto next = tasks_.begin() + static_cast<std::ptrdiff_t>(place) + 1;
  next = tasks_.insert(next, std::move(chunks)) + 1;
  if (after != nullptr) tasks_.insert(next, std::move(after));
  next_dispatch_ = std::min(next_dispatch_, head_seq_ + place + 1);
  wake_workers();
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
  // Shared before sharing stopped: let go now that descriptors ran out.
  if (directory_share_limit_.load() == 0) let_go_of_directories(*t);
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
    // Emptied by the submitter when it takes the list again: what its inputs hold goes back to
    // the thread that allocated it, where it is reused at once.
    if (t->inputs.capacity() >= k_batch_files && spare_inputs_.size() < window_) {
      spare_inputs_.push_back(std::move(t->inputs));
    }
  }
  give_back_pen();
  state_cv_.notify_all();
  if (submitter_waiting_ && tasks_.size() <= window_ / 2) room_cv_.notify_one();
  // Pending chunks beyond the window come within it as the tasks before them are written; the
  // last task written lets idle workers end.
  wake_workers();
  if (submitting_done_ && tasks_.empty()) {
    work_cv_.notify_all();
    written_cv_.notify_all();
  }
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
  written_cv_.notify_all();
}

void parallel_search::release_input(shared_input& in) {
  if (release_share(in)) give_back_file_room(1);
}

bool parallel_search::release_share(shared_input& in) {
  if (in.tasks_left.fetch_sub(1) != 1) return false;
  if (in.fd >= 0) fs_.close_file(in.fd);
  in.fd = -1;
  return true;
}

void parallel_search::give_back_file_room(std::size_t files) {
  if (files == 0) return;
  open_files_.fetch_sub(files);
  if (file_room_wanted_.load()) {
    // Under the mutex, so that the submitter cannot miss it between its test and its wait.
    const checked_lock lock(mutex_);
    room_cv_.notify_one();
  }
}

void parallel_search::close_opened(shared_input& in, worker_state& state) {
  fs_.close_file(in.fd);
  in.fd = -1;
  state.opened->fetch_sub(1);
  if (descriptors_wanted_.load()) {
    // Under the mutex, so that the waiter cannot miss it between its test and its wait.
    const checked_lock lock(mutex_);
    state_cv_.notify_all();
  }
}

void parallel_search::take_file_room() {
  if (open_files_.load() >= open_file_budget_ && !stop_.load()) {
    flush_batch();  // its files are held too: let them be searched and closed
    const checked_lock lock(mutex_);
    wake_workers();
    file_room_wanted_ = true;
    while (!stop_ && open_files_.load() >= open_file_budget_) mutex_.wait(room_cv_);
    file_room_wanted_ = false;
  }
  open_files_.fetch_add(1);
}

unsigned parallel_search::opened_by_workers() const {
  unsigned held = 0;
  for (std::size_t i = 0; i < options_.workers; ++i) held += opened_by_workers_[i].files.load();
  return held;
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
  const unsigned held = opened_by_workers();
  if (held == 0 || held_bytes_ > options_.output_budget) {
    descriptors_wanted_ = false;
    return false;
  }
  while (!stop_ && opened_by_workers() >= held && held_bytes_ <= options_.output_budget) {
    mutex_.wait(state_cv_);
  }
  descriptors_wanted_ = false;
  return !stop_;
}

bool parallel_search::wait_for_descriptors() {
  stop_sharing_directories(nullptr);
  {
    const checked_lock lock(mutex_);
    if (open_files_.load() == 0) return false;
  }
  wait_until_written();
  return !stop_;
}

}  // namespace bytrove
