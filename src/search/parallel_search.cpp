// The parallel engine's public interface, its threads and the worker loop: submitting files
// (whole in a batch, or in chunks), streams on the calling thread, starting and ending the
// workers, and each worker taking the next task in order. What a worker does with a task is in
// task_search.cpp; the window, held output and committing are in files of their own (see
// parallel_search.h).

#include "search/parallel_search.h"

#include <algorithm>
#include <utility>

#include "search/chunk_plan.h"
#include "search/held_output.h"
#include "search/input_source.h"
#include "search/run_limits.h"
#include "search/worker_state.h"
#include "source/packed_input.h"

namespace bytrove {
namespace {

// The options with the descriptor budget settled: from the process's limit when not given.
parallel_options with_open_budget(parallel_options options) {
  if (options.open_file_budget == 0) options.open_file_budget = default_open_file_budget();
  return options;
}

// Descriptors set aside, out of the budget of `total`, for directories shared with the workers
// opening the files listed in them: one per directory the submitted work spans, a few dozen on
// a tree of small directories. None under a small budget, which every file needs.
std::size_t directory_share_limit(std::size_t total) {
  constexpr std::size_t k_least_budget = 128;
  constexpr std::size_t k_most = 64;
  return total < k_least_budget ? 0 : std::min(k_most, total / 8);
}

}  // namespace

parallel_search::parallel_search(const search_target& target, const result_options& results,
                                 const pattern_names& patterns, output& out, output& err,
                                 file_system& fs, const parallel_options& options)
    : target_(target),
      results_(results),
      tally_(results),
      patterns_(patterns),
      out_(out),
      err_(err),
      fs_(fs),
      options_(with_open_budget(options)),
      // Enough tasks in flight to keep every worker busy; each holds descriptors.
      window_(std::min<std::size_t>(64, 4 * std::size_t{options.workers} + 8)),
      open_file_budget_(options_.open_file_budget -
                        directory_share_limit(options_.open_file_budget)),
      inline_search_(target, results, patterns, out, err, options.matcher, options.block_size),
      directory_share_limit_(directory_share_limit(options_.open_file_budget)) {
  tally_.mode = result_mode::count;
  tally_.json = false;
  tally_.context = 0;
  start_workers();
}

void parallel_search::start_workers() {
  workers_.reserve(options_.workers);
  opened_by_workers_ = std::make_unique<opened_count[]>(options_.workers);
  // A thread the system refuses (a process limit, no memory for its stack) is no reason to
  // stop: the run goes on with those that started, with the same output.
  for (unsigned i = 0; i < options_.workers; ++i) {
    try {
      {
        const checked_lock lock(mutex_);
        ++starting_workers_;
      }
      workers_.emplace_back([this, i] { worker_main(i); });
    } catch (const std::system_error&) {
      const checked_lock lock(mutex_);
      --starting_workers_;
      // Those that did start may all have failed to get their buffers, counting on this one.
      if (!workers_.empty() && starting_workers_ == 0 && ready_workers_ == 0) {
        out_of_memory_ = true;
        stop_ = true;
      }
      break;
    }
  }
}

parallel_search::~parallel_search() {
  if (!workers_.empty()) {
    stop();
    (void)finish();
  }
}

void parallel_search::set_observer(scan_observer* observer) {
  observer_ = observer;
  inline_search_.set_observer(observer);
}

void parallel_search::search_file(const std::string& name, int fd, bool verbose) {
  // Every file submitted here was just opened by the walk.
  const input_source source = describe_source(fd, true);
  if (!source.regular()) {
    search_stream(name, fd, verbose);
    fs_.close_file(fd);
    return;
  }
  take_file_room();
  auto in = std::make_shared<shared_input>();
  in->name = name;
  in->fd = fd;
  in->verbose = verbose;
  file_head head;
  const bool packed = results_.decompress != 0 && file_looks_packed(fd, source.size, head);
  if (searched_whole(source.size, options_.chunk_size, packed)) {
    add_to_batch(std::move(in), source.size, packed, head);
  } else {
    flush_batch();
    submit_chunks(in, source.size);
  }
}

void parallel_search::search_unopened(std::string name, bool verbose) {
  // Most files of a tree are small: their opens, stats and closes run on the workers, side by
  // side, rather than one after another on the walk's thread. Its size unknown, the file goes
  // into a batch; a worker that finds it too large to search whole cuts it into chunks there.
  take_file_room();
  auto in = std::make_shared<shared_input>();
  in->name = std::move(name);
  in->verbose = verbose;
  in->unopened = true;
  if (share_directory(in->name)) {
    in->dir = last_shared_->dir.get();
    start_batch();
    if (batch_->dirs.empty() || batch_->dirs.back() != last_shared_) {
      batch_->dirs.push_back(last_shared_);
    }
  }
  add_to_batch(std::move(in), 0, false);
}

bool parallel_search::share_directory(const std::string& path) {
  const std::size_t limit = directory_share_limit_.load(std::memory_order_relaxed);
  // The files of a directory come one after another: they share one.
  if (last_shared_ != nullptr && limit > 0 && last_shared_->dir->name_of(path) != nullptr) {
    return true;
  }
  last_shared_.reset();
  if (shared_directories_.load(std::memory_order_relaxed) >= limit) return false;
  std::shared_ptr<const open_directory> listed = fs_.share_listed(path);
  if (listed == nullptr) return false;
  last_shared_ = std::make_shared<shared_directory>(std::move(listed), shared_directories_);
  return true;
}

void parallel_search::let_go_of_directories(task& t) {
  if (t.dirs.empty()) return;
  for (task_input& p : t.inputs) p.in->dir = nullptr;
  t.dirs.clear();
}

void parallel_search::stop_sharing_directories(task* own) {
  if (own != nullptr) let_go_of_directories(*own);
  const checked_lock lock(mutex_);
  directory_share_limit_ = 0;
  for (const std::unique_ptr<task>& t : tasks_) {
    if (!t->taken && !t->done) let_go_of_directories(*t);
  }
}

void parallel_search::add_to_batch(std::shared_ptr<shared_input> in, std::uint64_t size,
                                   bool packed, const file_head& head) {
  // A small file is read as one stream, in a batch with its neighbours.
  in->tasks_left = 1;
  start_batch();
  task_input p;
  if (results_.ranged()) {
    p.mode = read_mode::positioned;
    p.start = results_.range_start;
    p.limit = results_.range_end;
  }
  // One the walk opened is a regular file of that size; one left unopened is unknown so far.
  if (!in->unopened) p.known_end = size;
  p.in = std::move(in);
  p.packed = packed;
  p.head = head;
  p.size = size;
  batch_->inputs.push_back(std::move(p));
  batch_bytes_ += size;
  if (batch_is_full(batch_->inputs.size(), batch_bytes_)) flush_batch();
}

void parallel_search::start_batch() {
  if (batch_ != nullptr) return;
  batch_ = std::make_unique<task>();
  // The list of a batch already written, emptied here: memory freed on another thread does
  // not come back to this one, which then faulted in fresh pages for every batch and
  // contended with the workers for the allocator's lock.
  {
    const checked_lock lock(mutex_);
    if (!spare_inputs_.empty()) {
      batch_->inputs = std::move(spare_inputs_.back());
      spare_inputs_.pop_back();
    }
  }
  batch_->inputs.clear();
  batch_->inputs.reserve(k_batch_files);
}

void parallel_search::submit_chunks(const std::shared_ptr<shared_input>& in, std::uint64_t size) {
  // Within the ranges worth reading: holes that cannot hold any part of an occurrence are
  // skipped and counted.
  const std::vector<chunk_range> chunks =
      plan_chunks(clip_reads(plan_reads(in->fd, size, target_.length, target_.zeros_can_match),
                             results_.range_start, results_.range_end),
                  size, options_.chunk_size, results_.range_end);
  in->tasks_left = chunks.size();
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    auto t = std::make_unique<task>();
    task_input p;
    p.in = in;
    p.mode = read_mode::positioned;
    p.first = i == 0;
    p.last = i + 1 == chunks.size();
    p.start = chunks[i].start;
    p.limit = chunks[i].limit;
    p.skipped = chunks[i].skipped;
    p.size = size;
    p.known_end = size;
    t->inputs.push_back(std::move(p));
    push(std::move(t));
  }
}

void parallel_search::search_stream(const std::string& name, int fd, bool verbose) {
  wait_until_written();
  checked_lock lock(mutex_);
  if (stop_) return;
  // Everything before it is written and nothing else is submitted meanwhile: the pen is free.
  take_pen();
  lock.unlock();
  inline_search_.scan_stream(name, fd, verbose);
  lock.lock();
  give_back_pen();
  lock.unlock();
  stop_if_output_failed();
  state_cv_.notify_all();
}

void parallel_search::report(std::string message) {
  flush_batch();
  auto t = std::make_unique<task>();
  t->message = std::move(message);
  t->done = true;
  push(std::move(t));
}

run_counters parallel_search::finish() {
  flush_batch();
  last_shared_.reset();
  {
    const checked_lock lock(mutex_);
    submitting_done_ = true;
    work_cv_.notify_all();
    while (!stop_ && !tasks_.empty()) mutex_.wait(written_cv_);
  }
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
  std::deque<std::unique_ptr<task>> unwritten;
  run_counters total = inline_search_.counters();
  {
    const checked_lock lock(mutex_);
    unwritten.swap(tasks_);
    // Every worker has stopped: nobody holds the pen.
    take_pen();
    total += counters_;
    give_back_pen();
  }
  // After a stop: what was never written still holds descriptors.
  for (const std::unique_ptr<task>& t : unwritten) {
    for (const task_input& p : t->inputs) release_input(*p.in);
  }
  return total;
}

void parallel_search::worker_main(unsigned index) {
  // A worker that cannot get its buffers leaves the work to the others, as a thread that could
  // not be started would; the last one cannot. An allocation that fails later, part way through
  // a task, ends the run as it would on the caller's thread: the caller finds the flag once the
  // workers have stopped.
  std::unique_ptr<worker_state> state;
  try {
    state = std::make_unique<worker_state>(*this);
    state->opened = &opened_by_workers_[index].files;
  } catch (const std::bad_alloc&) {
  }
  {
    const checked_lock lock(mutex_);
    --starting_workers_;
    if (state != nullptr) ++ready_workers_;
    if (starting_workers_ > 0 || ready_workers_ > 0) {
      if (state == nullptr) return;
    } else {
      out_of_memory_ = true;
      stop_ = true;
    }
  }
  if (state == nullptr) {
    stop();
    return;
  }
  try {
    work(*state);
  } catch (const std::bad_alloc&) {
    out_of_memory_ = true;
    stop();
  }
}

void parallel_search::work(worker_state& state) {
  checked_lock lock(mutex_);
  for (;;) {
    if (stop_) return;
    if (task* next = take_next_task()) {
      lock.unlock();
      const bool holds_pen = search_task(*next, state);
      lock.lock();
      next->done = true;
      if (holds_pen) {
        pen_held_by_task();
        drain_with_pen();
      } else {
        write_finished();
      }
    } else if (submitting_done_ && tasks_.empty()) {
      // Not before everything is written: a task still running may cut a file it opened into
      // chunks, tasks for all to take.
      return;
    } else {
      ++idle_workers_;
      mutex_.wait(work_cv_);
      --idle_workers_;
    }
  }
}

}  // namespace bytrove
