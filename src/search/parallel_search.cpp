#include "search/parallel_search.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "report/report_line.h"
#include "scan/read_plan.h"
#include "search/member_search.h"
#include "search/run_limits.h"
#include "source/packed_input.h"

namespace bytrove {

// One input, shared by its tasks.
struct parallel_search::input {
  std::string name;
  int fd = -1;
  bool verbose = false;
  std::atomic<std::uint64_t> tasks_left{0};  // the last one released closes fd
  bool ended = false;                        // pen holder only: later chunks are dropped
  // Set with `ended`, before the pen is given back: a worker that sees it writes nothing more
  // for this input and need not read on.
  std::atomic<bool> abandoned{false};
  // Pen holder only: what the chunks written so far found.
  std::uint64_t total = 0;
  member_counts per_member;
};

// What one task searches of one input: all of it, or one chunk.
struct parallel_search::part {
  std::shared_ptr<input> in;
  read_mode mode = read_mode::stream;
  std::uint64_t start = 0;
  std::uint64_t limit = k_no_limit;
  bool first = true;
  bool last = true;
  std::uint64_t skipped = 0;  // bytes of holes just before `start`, counted as searched
  // Written by the worker before the task is marked done.
  scan_outcome outcome;
  std::uint64_t occurrences = 0;
  member_counts members;  // count mode with a set
  // A later chunk under a per-input limit: it only counted, since it could not know how many
  // occurrences came before it. It kept where they are, when there were not too many
  // (`replayable`), so their lines can be written without searching again.
  bool tallied = false;
  bool replayable = false;
  std::vector<std::uint64_t> offsets;
  std::vector<std::uint32_t> offset_members;
  // A packed input, unpacked and searched whole by one task: the members it searched, and the
  // compressed bytes read (the progress line's measure for it).
  bool packed = false;
  std::uint64_t size = 0;
  std::uint64_t files = 1;
  std::uint64_t compressed = 0;
  std::vector<std::uint32_t> offset_lengths;  // the shortest match at each
};

// Held output: lines, or a message for standard error.
struct parallel_search::task_piece {
  std::unique_ptr<char[]> data;
  std::size_t size = 0;
  std::string message;
};

struct parallel_search::task {
  std::vector<part> parts;  // empty for a message
  std::string message;

  // Output held until the task is at the head, in order. Under mutex_.
  using piece = task_piece;
  std::deque<piece> pieces;
  std::size_t held = 0;
  bool done = false;
};

namespace {

constexpr std::size_t k_piece_size = k_output_piece_size;
// Idle workers are woken for a few tasks at a time: when files are small, a wake-up per task
// costs more than the search.
constexpr std::uint64_t k_wake_batch = 1;
// Small files are searched in batches of up to this many, or this many bytes, per task.
constexpr std::size_t k_batch_files = 32;
constexpr std::uint64_t k_batch_bytes = std::uint64_t{1} << 20;
// A chunk that only counts keeps up to this many occurrences' offsets (48 KiB).
constexpr std::size_t k_replay_limit = 4096;

}  // namespace

// What each thread that searches keeps from task to task.
struct parallel_search::worker_state {
  explicit worker_state(const parallel_search& e)
      : blocks(e.target_, e.options_.matcher, e.options_.block_size),
        results(e.results_, e.patterns_),
        tally(e.tally_, e.patterns_),
        direct(e.results_, e.patterns_) {
    blocks.count_only(e.results_.counts_only() && e.patterns_.names.empty());
    tally.record(k_replay_limit);
  }
  block_scanner blocks;
  std::unique_ptr<char[]> spare;  // a piece buffer kept for the next task
  input_results<task_sink> results;
  input_results<task_sink> tally;
  input_results<output> direct;  // the pen holder's, for write_with_pen
  std::unique_ptr<archive_reader> unpacker;  // made when first needed
};

// Where a running task's output goes: straight to standard output while the task holds the
// pen, otherwise into pieces held for later. Offers what write_report_lines needs.
class parallel_search::task_sink {
 public:
  static constexpr std::size_t k_capacity = output::k_capacity;

  // `spare` is the worker's piece buffer, used until a piece is held and handed back after.
  task_sink(parallel_search& engine, task& t, std::unique_ptr<char[]>& spare)
      : engine_(engine), task_(t), spare_(spare) {}
  ~task_sink() {
    if (buffer_ != nullptr) spare_ = std::move(buffer_);
  }
  task_sink(const task_sink&) = delete;
  task_sink& operator=(const task_sink&) = delete;

  char* reserve(std::size_t n) {
    if (direct_) return engine_.out_.reserve(n);
    if (buffer_ == nullptr) {
      if (spare_ != nullptr) {
        buffer_ = std::move(spare_);
      } else {
        const std::lock_guard<std::mutex> lock(engine_.mutex_);
        buffer_ = engine_.take_piece_buffer();
      }
    }
    if (k_piece_size - used_ < n) {
      hand_over();
      if (direct_) return engine_.out_.reserve(n);
    }
    return buffer_.get() + used_;
  }
  void commit(std::size_t n) {
    if (direct_) {
      engine_.out_.commit(n);
    } else {
      used_ += n;
    }
  }
  void write(std::string_view text) {
    while (!text.empty()) {
      const std::size_t take = std::min(text.size(), k_capacity);
      std::memcpy(reserve(take), text.data(), take);
      commit(take);
      text.remove_prefix(take);
    }
  }
  // A message for standard error, after the lines written so far.
  void message(std::string text) {
    if (direct_) {
      write_error(engine_.out_, engine_.err_, text);
      if (engine_.out_.failed()) engine_.stop();
      return;
    }
    const std::lock_guard<std::mutex> lock(engine_.mutex_);
    hold_buffer();
    task_.pieces.push_back({nullptr, 0, std::move(text)});
  }
  bool direct() const { return direct_; }

  // Holds what is left; the task is about to be marked done.
  void finish() {
    if (direct_ || used_ == 0) return;
    const std::lock_guard<std::mutex> lock(engine_.mutex_);
    hold_buffer();
  }

 private:
  // Under mutex_.
  void hold_buffer() {
    if (used_ == 0) return;
    task_.pieces.push_back({std::move(buffer_), used_, {}});
    task_.held += used_;
    engine_.held_bytes_ += used_;
    used_ = 0;
  }

  // A chunk of an input that ended before it is dropped, so its task never takes the pen.
  bool input_ended() const {
    return task_.parts.size() == 1 && task_.parts.front().in->abandoned.load();
  }

  // The buffer is full: take the pen if the task is at the head, else hold the buffer and,
  // while too much is held, wait for the task's turn.
  void hand_over() {
    std::unique_lock<std::mutex> lock(engine_.mutex_);
    hold_buffer();
    for (;;) {
      if (engine_.stop_) break;
      if (engine_.is_head(task_) && !engine_.pen_taken_ && !input_ended()) {
        engine_.pen_taken_ = true;
        direct_ = true;
        break;
      }
      if (engine_.held_bytes_ <= engine_.options_.output_budget || input_ended()) break;
      engine_.state_cv_.wait(lock);
    }
    if (!direct_) {
      if (buffer_ == nullptr) buffer_ = engine_.take_piece_buffer();
      return;
    }
    std::deque<task::piece> held = std::move(task_.pieces);
    task_.pieces.clear();
    engine_.held_bytes_ -= task_.held;
    task_.held = 0;
    lock.unlock();
    for (const task::piece& p : held) engine_.write_piece(p.data.get(), p.size, p.message);
    if (engine_.out_.failed()) engine_.stop();
    lock.lock();
    engine_.recycle(held);
  }

  parallel_search& engine_;
  task& task_;
  std::unique_ptr<char[]>& spare_;
  bool direct_ = false;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
};

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
      options_(options),
      inline_scanner_(target, results, patterns, out, err, options.matcher, options.block_size),
      // Enough tasks in flight to keep every worker busy; each holds descriptors.
      window_(std::min<std::size_t>(64, 4 * std::size_t{options.workers} + 8)),
      open_file_budget_(options.open_file_budget != 0 ? options.open_file_budget
                                                      : default_open_file_budget()) {
  tally_.mode = result_mode::count;
  tally_.json = false;
  tally_.context = 0;
  workers_.reserve(options_.workers);
  // A thread the system refuses (a process limit, no memory for its stack) is no reason to
  // stop: the run goes on with those that started, with the same output.
  for (unsigned i = 0; i < options_.workers; ++i) {
    try {
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++starting_workers_;
      }
      workers_.emplace_back([this] { worker_main(); });
    } catch (const std::system_error&) {
      const std::lock_guard<std::mutex> lock(mutex_);
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
  inline_scanner_.set_observer(observer);
}

bool parallel_search::is_head(const task& t) const {
  return !tasks_.empty() && tasks_.front().get() == &t;
}

void parallel_search::stop() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  work_cv_.notify_all();
  state_cv_.notify_all();
  room_cv_.notify_all();
}

void parallel_search::release_input(input& in) {
  if (in.tasks_left.fetch_sub(1) != 1) return;
  fs_.close_file(in.fd);
  const std::lock_guard<std::mutex> lock(mutex_);
  --open_files_;
  if (submitter_waiting_) room_cv_.notify_one();
}

void parallel_search::wait_for_file_room() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (open_files_ < open_file_budget_ || stop_) return;
  lock.unlock();
  flush_batch();  // its files are held too: let them be searched and closed
  lock.lock();
  wake_workers(lock);
  submitter_waiting_ = true;
  room_cv_.wait(lock, [&] { return stop_ || open_files_ < open_file_budget_; });
  submitter_waiting_ = false;
}

bool parallel_search::wait_for_descriptors() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (open_files_ == 0) return false;
  }
  wait_until_written();
  return !stop_;
}

void parallel_search::wake_workers(std::unique_lock<std::mutex>&) {
  if (idle_workers_ > 0 && head_seq_ + tasks_.size() > next_dispatch_) work_cv_.notify_all();
}

void parallel_search::push(std::unique_ptr<task> t) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (tasks_.size() >= window_ && !stop_) {
    wake_workers(lock);
    // Wait until half the window is free: one wake-up per many tasks, not one per task.
    submitter_waiting_ = true;
    room_cv_.wait(lock, [&] { return stop_ || tasks_.size() <= window_ / 2; });
    submitter_waiting_ = false;
  }
  if (stop_) {
    lock.unlock();
    for (const part& p : t->parts) release_input(*p.in);
    return;
  }
  const bool done = t->done;
  tasks_.push_back(std::move(t));
  if (done) {
    write_finished(lock);
  } else if (idle_workers_ > 0 && head_seq_ + tasks_.size() - next_dispatch_ >= k_wake_batch) {
    work_cv_.notify_all();
  }
}

void parallel_search::flush_batch() {
  if (batch_ == nullptr) return;
  batch_bytes_ = 0;
  push(std::move(batch_));
}

void parallel_search::search_file(const std::string& name, int fd, bool verbose) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    search_stream(name, fd, verbose);
    fs_.close_file(fd);
    return;
  }
  wait_for_file_room();
  auto in = std::make_shared<input>();
  in->name = name;
  in->fd = fd;
  in->verbose = verbose;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    ++open_files_;
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const std::uint64_t chunk = options_.chunk_size;
  // A packed input is one task, however large: its members are only reachable in order.
  const bool packed = results_.decompress != 0 && file_looks_packed(fd, size);
  if (size <= chunk || packed) {
    // A small file is read as one stream, in a batch with its neighbours.
    in->tasks_left = 1;
    if (batch_ == nullptr) batch_ = std::make_unique<task>();
    part p;
    if (results_.ranged()) {
      p.mode = read_mode::positioned;
      p.start = results_.range_start;
      p.limit = results_.range_end;
    }
    p.in = std::move(in);
    p.packed = packed;
    p.size = size;
    batch_->parts.push_back(std::move(p));
    batch_bytes_ += size;
    if (batch_->parts.size() >= k_batch_files || batch_bytes_ >= k_batch_bytes) flush_batch();
    return;
  }
  flush_batch();
  // A large file is cut into chunks within the ranges worth reading (holes that cannot hold any
  // part of an occurrence are skipped and counted); the last chunk reads on to the end, however
  // far the file has grown by then.
  struct chunk_range {
    std::uint64_t start;
    std::uint64_t limit;
    std::uint64_t skipped;
  };
  std::vector<chunk_range> chunks;
  for (const read_range& r :
       clip_reads(plan_reads(fd, size, target_.length, target_.zeros_can_match),
                  results_.range_start, results_.range_end)) {
    // A range that reaches past the end is cut where the file ends now; the last chunk reads on.
    const std::uint64_t end = std::min(r.end, std::max(size, r.start));
    std::uint64_t skipped = r.skipped;
    std::uint64_t at = r.start;
    do {
      const std::uint64_t limit = end - at > chunk ? at + chunk : end;
      chunks.push_back({at, limit, skipped});
      skipped = 0;
      at = limit;
    } while (at < end);
  }
  chunks.back().limit = results_.range_end;
  in->tasks_left = chunks.size();
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    auto t = std::make_unique<task>();
    part p;
    p.in = in;
    p.mode = read_mode::positioned;
    p.first = i == 0;
    p.last = i + 1 == chunks.size();
    p.start = chunks[i].start;
    p.limit = chunks[i].limit;
    p.skipped = chunks[i].skipped;
    t->parts.push_back(std::move(p));
    push(std::move(t));
  }
}

void parallel_search::wait_until_written() {
  flush_batch();
  std::unique_lock<std::mutex> lock(mutex_);
  wake_workers(lock);
  state_cv_.wait(lock, [&] { return stop_ || (tasks_.empty() && !pen_taken_); });
}

void parallel_search::search_stream(const std::string& name, int fd, bool verbose) {
  wait_until_written();
  std::unique_lock<std::mutex> lock(mutex_);
  if (stop_) return;
  pen_taken_ = true;
  lock.unlock();
  inline_scanner_.scan_stream(name, fd, verbose);
  const bool failed = out_.failed();
  lock.lock();
  pen_taken_ = false;
  lock.unlock();
  if (failed) stop();
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
  {
    std::unique_lock<std::mutex> lock(mutex_);
    submitting_done_ = true;
    work_cv_.notify_all();
    state_cv_.wait(lock, [&] { return stop_ || tasks_.empty(); });
  }
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
  // After a stop: what was never written still holds descriptors.
  for (const std::unique_ptr<task>& t : tasks_) {
    for (const part& p : t->parts) release_input(*p.in);
  }
  tasks_.clear();
  run_counters total = counters_;
  total += inline_scanner_.counters();
  return total;
}

void parallel_search::worker_main() {
  // A worker that cannot get its buffers leaves the work to the others, as a thread that could
  // not be started would; the last one cannot. An allocation that fails later, part way through
  // a task, ends the run as it would on the caller's thread: the caller finds the flag once the
  // workers have stopped.
  std::unique_ptr<worker_state> state;
  try {
    state = std::make_unique<worker_state>(*this);
  } catch (const std::bad_alloc&) {
  }
  {
    const std::lock_guard<std::mutex> lock(mutex_);
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
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stop_) return;
    next_dispatch_ = std::max(next_dispatch_, head_seq_);
    const std::uint64_t end = head_seq_ + tasks_.size();
    while (next_dispatch_ < end && tasks_[next_dispatch_ - head_seq_]->done) ++next_dispatch_;
    if (next_dispatch_ < end) {
      task& next = *tasks_[next_dispatch_ - head_seq_];
      ++next_dispatch_;
      lock.unlock();
      run_task(next, state, lock);  // returns with the lock held
    } else if (submitting_done_) {
      return;
    } else {
      ++idle_workers_;
      work_cv_.wait(lock);
      --idle_workers_;
    }
  }
}

scan_span parallel_search::span_of(const part& p) const {
  return span_within(p.start, p.limit, results_.range_start, results_.range_end, target_.length,
                     results_.context);
}

void parallel_search::run_task(task& t, worker_state& state, std::unique_lock<std::mutex>& lock) {
  task_sink sink(*this, t, state.spare);
  struct lines final : block_sink {
    lines(parallel_search& e, task_sink& s, input_results<task_sink>& r, input& i)
        : engine(e), sink(s), results(r), in(i) {}
    bool on_block(const found_block& block) override {
      const bool more = results.on_block(sink, block);
      if (sink.direct() && engine.out_.failed()) engine.stop();
      return more && !engine.stop_.load(std::memory_order_relaxed) &&
             !in.abandoned.load(std::memory_order_relaxed);
    }
    parallel_search& engine;
    task_sink& sink;
    input_results<task_sink>& results;
    input& in;
  };
  for (part& p : t.parts) {
    input& in = *p.in;
    if (p.packed && !stop_.load() && run_packed(p, state, sink)) continue;
    p.packed = false;
    if (p.first && in.verbose) {
      sink.write("Searching ");
      sink.write(in.name);
      sink.write(" ...\n");
    }
    if (in.abandoned.load() || stop_.load()) continue;
    // A later chunk cannot know how many occurrences came before it: under a per-input limit
    // it only counts them (and keeps where they are), and its lines are written by the pen
    // holder, from the offsets it kept or by searching it again.
    p.tallied = !p.first && results_.max_count != 0 && results_.mode != result_mode::files;
    input_results<task_sink>& results = p.tallied ? state.tally : state.results;
    results.start(in.name, p.first && p.last, 0);
    lines found(*this, sink, results, in);
    p.outcome = state.blocks.scan(in.fd, p.mode, span_of(p), found);
    if (read_failed_in_range(p)) sink.message(read_error_message(in.name));
    if (p.tallied) {
      // Dumps need the bytes themselves: with context, a chunk is always searched again.
      p.replayable = results_.context == 0 && results.recorded_all();
      p.offsets.swap(results.recorded());
      p.offset_members.swap(results.recorded_members());
      p.offset_lengths.swap(results.recorded_lengths());
    }
    p.outcome.bytes = results.bytes_from(p.start, p.outcome.bytes);
    results.finish(sink);
    p.occurrences = results.found();
    p.members.add(results.per_member());
  }
  sink.finish();
  lock.lock();
  t.done = true;
  if (sink.direct()) {
    drain_with_pen(lock);
  } else {
    write_finished(lock);
  }
}

bool parallel_search::run_packed(part& p, worker_state& state, task_sink& sink) {
  input& in = *p.in;
  if (state.unpacker == nullptr) {
    state.unpacker = std::make_unique<archive_reader>(unpack_limits_for(results_));
  }
  member_search<task_sink> members(
      in.name, state.blocks, state.results, sink, results_, target_.length, in.verbose,
      {[&](std::string message) { sink.message(std::move(message)); },
       [&] { return !stop_.load(std::memory_order_relaxed); }, nullptr});
  if (state.unpacker->unpack_file(in.fd, p.size, members) == unpack_status::not_packed) {
    return false;
  }
  p.files = members.totals().files;
  p.outcome.bytes = members.totals().bytes;
  p.occurrences = members.totals().occurrences;
  p.compressed = state.unpacker->compressed_read();
  return true;
}

// A read that fails only past the range, in the m-1 bytes it shares with the next chunk, is
// that chunk's failure: it reads from there, finds what lies before the failure and reports it,
// as one stream would.
bool parallel_search::read_failed_in_range(part& p) {
  if (p.outcome.end_offset >= p.limit) p.outcome.read_failed = false;
  return p.outcome.read_failed;
}

void parallel_search::write_with_pen(part& p) {
  if (pen_state_ == nullptr) pen_state_ = std::make_unique<worker_state>(*this);
  input& in = *p.in;
  input_results<output>& results = pen_state_->direct;
  results.start(in.name, false, in.total);
  if (p.replayable) {
    std::vector<std::uint32_t> starts(p.offsets.size());
    for (std::size_t i = 0; i < starts.size(); ++i) {
      starts[i] = static_cast<std::uint32_t>(p.offsets[i] - p.offsets.front());
    }
    found_block found;
    found.starts = starts.data();
    found.count = starts.size();
    found.members = patterns_.names.empty() ? nullptr : p.offset_members.data();
    found.lengths = p.offset_lengths.data();
    found.base = p.offsets.front();
    if (!results.on_block(out_, found)) p.outcome.stopped = true;
  } else {
    struct direct_lines final : block_sink {
      direct_lines(input_results<output>& r, output& o) : results(r), out(o) {}
      bool on_block(const found_block& block) override {
        return results.on_block(out, block) && !out.failed();
      }
      input_results<output>& results;
      output& out;
    };
    direct_lines sink(results, out_);
    p.outcome = pen_state_->blocks.scan(in.fd, p.mode, span_of(p), sink);
  }
  p.outcome.bytes = results.bytes_from(p.start, p.outcome.bytes);
  results.finish(out_);
  if (!p.replayable && read_failed_in_range(p)) {
    write_error(out_, err_, read_error_message(in.name));
  }
  p.occurrences = results.found();
  // What the limit left of the chunk's tally, pattern by pattern as in all.
  p.members.clear();
  p.members.add(results.per_member());
}

// Lines to write, or the input stops inside it (the place where, for the byte count).
bool parallel_search::pen_work(const part& p) const {
  return p.tallied && p.occurrences > 0 && !p.in->ended &&
         (results_.mode == result_mode::lines || p.in->total + p.occurrences >= results_.max_count);
}

void parallel_search::end_chunked_input(input& in) {
  write_input_end(out_, results_, patterns_, in.name, in.total, in.per_member);
}

void parallel_search::write_finished(std::unique_lock<std::mutex>& lock) {
  if (pen_taken_ || tasks_.empty() || !tasks_.front()->done) return;
  pen_taken_ = true;
  drain_with_pen(lock);
}

void parallel_search::drain_with_pen(std::unique_lock<std::mutex>& lock) {
  while (!tasks_.empty() && tasks_.front()->done && !stop_) {
    std::unique_ptr<task> t = std::move(tasks_.front());
    tasks_.pop_front();
    ++head_seq_;
    held_bytes_ -= t->held;
    lock.unlock();
    retire(*t);
    lock.lock();
    recycle(t->pieces);
  }
  pen_taken_ = false;
  state_cv_.notify_all();
  if (submitter_waiting_ && tasks_.size() <= window_ / 2) room_cv_.notify_one();
}

std::unique_ptr<char[]> parallel_search::take_piece_buffer() {
  if (free_pieces_.empty()) return std::unique_ptr<char[]>(new char[k_piece_size]);
  std::unique_ptr<char[]> buffer = std::move(free_pieces_.back());
  free_pieces_.pop_back();
  return buffer;
}

void parallel_search::recycle(std::deque<task::piece>& pieces) {
  // Buffers go round between the threads instead of back to the allocator: memory freed by
  // another thread than the one that took it stays resident in each thread's arena, which
  // doubled the peak with two workers.
  const std::size_t keep = options_.output_budget / k_piece_size + 2 * options_.workers;
  for (task::piece& p : pieces) {
    if (p.data != nullptr && free_pieces_.size() < keep) free_pieces_.push_back(std::move(p.data));
  }
  pieces.clear();
}

void parallel_search::write_piece(const char* data, std::size_t size, const std::string& message) {
  if (message.empty()) {
    out_.write(std::string_view(data, size));
  } else {
    write_error(out_, err_, message);
  }
}

void parallel_search::retire(task& t) {
  if (t.parts.empty()) {
    write_error(out_, err_, t.message);
    if (out_.failed()) stop();
    return;
  }
  // Only a chunk can find its input ended; then all of the task is dropped. A chunk that only
  // counted held at most a message about its read: searched again, it writes that message
  // itself; replayed, its lines come before the message.
  const part& front = t.parts.front();
  const bool with_pen = pen_work(front);
  if (!front.in->ended && !with_pen) {
    for (const task::piece& p : t.pieces) write_piece(p.data.get(), p.size, p.message);
  }
  for (part& p : t.parts) {
    input& in = *p.in;
    if (!in.ended) {
      if (with_pen) {
        write_with_pen(p);
        if (p.replayable) {
          for (const task::piece& held : t.pieces)
            write_piece(held.data.get(), held.size, held.message);
        }
      }
      const bool summed = !(p.first && p.last);  // a chunk: its input's counts add up here
      if (summed) {
        in.total += p.occurrences;
        in.per_member.add(p.members);
      }
      counters_.bytes_searched += p.skipped + p.outcome.bytes;
      counters_.occurrences += p.occurrences;
      if (observer_ != nullptr) {
        if (p.first) observer_->on_input_start(in.name, in.fd);
        observer_->on_bytes(p.packed ? p.compressed : p.skipped + p.outcome.bytes);
      }
      // A stream stops at its first failed read, or at a read that returns 0: so do chunks;
      // and at the occurrences asked for.
      const bool ended_early = p.outcome.at_end && p.outcome.end_offset < p.limit;
      const bool enough = summed && ((results_.max_count != 0 && in.total >= results_.max_count) ||
                                     (results_.mode == result_mode::files && in.total > 0));
      if (p.last || p.outcome.read_failed || ended_early || p.outcome.stopped || enough) {
        in.ended = true;
        in.abandoned.store(true);
        counters_.files_searched += p.packed ? p.files : 1;
        if (summed) end_chunked_input(in);
        if (observer_ != nullptr) observer_->on_input_end();
      }
    }
    release_input(in);
  }
  if (out_.failed()) stop();
}

}  // namespace bytrove
