#include "search/parallel_search.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "scan/report_line.h"

namespace bytrove {

// One input, shared by its tasks.
struct parallel_search::input {
  std::string name;
  int fd = -1;
  bool verbose = false;
  std::atomic<std::uint64_t> tasks_left{0};  // the last one released closes fd
  bool ended = false;                         // pen holder only: later tasks are dropped
  std::atomic<bool> abandoned{false};         // workers need not read later chunks
};

struct parallel_search::task {
  std::shared_ptr<input> in;  // null for a message
  std::string message;
  read_mode mode = read_mode::stream;
  std::uint64_t start = 0;
  std::uint64_t limit = k_no_limit;
  bool first = false;
  bool last = false;

  // Output held until the task is at the head; under mutex_.
  struct piece {
    std::unique_ptr<char[]> data;
    std::size_t size = 0;
  };
  std::deque<piece> pieces;
  std::size_t held = 0;
  // Written by the worker before `done` is set under mutex_.
  scan_outcome outcome;
  std::uint64_t occurrences = 0;
  bool done = false;
  bool begun = false;  // pen holder only: its output has started
};

namespace {
constexpr std::size_t k_piece_size = std::size_t{256} << 10;
}  // namespace

// Where a running task's output goes: straight to standard output while the task holds the
// pen, otherwise into pieces held for later. Offers what write_report_lines needs.
class parallel_search::task_sink {
 public:
  static constexpr std::size_t k_capacity = output::k_capacity;

  task_sink(parallel_search& engine, task& t) : engine_(engine), task_(t) {}

  char* reserve(std::size_t n) {
    if (direct_) return engine_.out_.reserve(n);
    if (buffer_ == nullptr || k_piece_size - used_ < n) {
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
    task_.pieces.push_back({std::move(buffer_), used_});
    task_.held += used_;
    engine_.held_bytes_ += used_;
    used_ = 0;
  }

  // The buffer is full: take the pen if the task is at the head, else hold the buffer and,
  // while too much is held, wait for the task's turn.
  void hand_over() {
    std::unique_lock<std::mutex> lock(engine_.mutex_);
    hold_buffer();
    for (;;) {
      if (engine_.stop_) break;
      if (engine_.is_head(task_) && !engine_.pen_taken_) {
        engine_.pen_taken_ = true;
        direct_ = true;
        break;
      }
      if (engine_.held_bytes_ <= engine_.options_.output_budget) break;
      engine_.state_cv_.wait(lock);
    }
    if (!direct_) {
      if (buffer_ == nullptr) buffer_.reset(new char[k_piece_size]);
      return;
    }
    std::deque<task::piece> held = std::move(task_.pieces);
    task_.pieces.clear();
    engine_.held_bytes_ -= task_.held;
    task_.held = 0;
    lock.unlock();
    engine_.begin_output(task_);
    for (const task::piece& p : held) engine_.out_.write(std::string_view(p.data.get(), p.size));
    if (engine_.out_.failed()) engine_.stop();
  }

  parallel_search& engine_;
  task& task_;
  bool direct_ = false;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
};

parallel_search::parallel_search(const compiled_pattern& pattern, const search_plan& plan,
                                 output& out, output& err, file_system& fs,
                                 const parallel_options& options)
    : pattern_(pattern),
      plan_(plan),
      out_(out),
      err_(err),
      fs_(fs),
      options_(options),
      inline_scanner_(pattern, plan, out, err, options.matcher, options.block_size),
      // Enough tasks in flight to keep every worker busy; each small file holds a descriptor.
      window_(std::min<std::size_t>(256, 8 * std::size_t{options.workers} + 16)) {
  workers_.reserve(options_.workers);
  for (unsigned i = 0; i < options_.workers; ++i) workers_.emplace_back([this] { worker_main(); });
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
}

void parallel_search::release_input(input& in) {
  if (in.tasks_left.fetch_sub(1) == 1) fs_.close_file(in.fd);
}

void parallel_search::push(std::unique_ptr<task> t) {
  std::unique_lock<std::mutex> lock(mutex_);
  state_cv_.wait(lock, [&] { return stop_ || tasks_.size() < window_; });
  if (stop_) {
    lock.unlock();
    if (t->in) release_input(*t->in);
    return;
  }
  const bool done = t->done;
  tasks_.push_back(std::move(t));
  if (done) {
    write_finished(lock);
  } else {
    work_cv_.notify_one();
  }
}

void parallel_search::search_file(const std::string& name, int fd, bool verbose) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    search_stream(name, fd, verbose);
    fs_.close_file(fd);
    return;
  }
  auto in = std::make_shared<input>();
  in->name = name;
  in->fd = fd;
  in->verbose = verbose;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const std::uint64_t chunk = options_.chunk_size;
  // A small file is one task read as a stream; a large one is cut into chunks, the last of
  // which reads on to the end, however far the file has grown by then.
  const std::uint64_t count = size <= chunk ? 1 : (size + chunk - 1) / chunk;
  in->tasks_left = count;
  for (std::uint64_t i = 0; i < count; ++i) {
    auto t = std::make_unique<task>();
    t->in = in;
    t->first = i == 0;
    t->last = i + 1 == count;
    if (count > 1) {
      t->mode = read_mode::positioned;
      t->start = i * chunk;
      t->limit = t->last ? k_no_limit : (i + 1) * chunk;
    }
    push(std::move(t));
  }
}

void parallel_search::wait_until_written() {
  std::unique_lock<std::mutex> lock(mutex_);
  state_cv_.wait(lock, [&] { return stop_ || (tasks_.empty() && !pen_taken_); });
}

void parallel_search::search_stream(const std::string& name, int fd, bool verbose) {
  std::unique_lock<std::mutex> lock(mutex_);
  state_cv_.wait(lock, [&] { return stop_ || (tasks_.empty() && !pen_taken_); });
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
  auto t = std::make_unique<task>();
  t->message = std::move(message);
  t->done = true;
  push(std::move(t));
}

run_counters parallel_search::finish() {
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
    if (t->in) release_input(*t->in);
  }
  tasks_.clear();
  run_counters total = counters_;
  total += inline_scanner_.counters();
  return total;
}

void parallel_search::worker_main() {
  block_scanner blocks(pattern_, plan_, options_.matcher, options_.block_size);
  report_line_format line;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    task* next = nullptr;
    while (next == nullptr) {
      if (stop_) return;
      next_dispatch_ = std::max(next_dispatch_, head_seq_);
      const std::uint64_t end = head_seq_ + tasks_.size();
      while (next_dispatch_ < end && tasks_[next_dispatch_ - head_seq_]->done) ++next_dispatch_;
      if (next_dispatch_ < end) {
        next = tasks_[next_dispatch_ - head_seq_].get();
        ++next_dispatch_;
      } else if (submitting_done_) {
        return;
      } else {
        work_cv_.wait(lock);
      }
    }
    lock.unlock();
    run_task(*next, blocks, line);
    lock.lock();
  }
}

void parallel_search::run_task(task& t, block_scanner& blocks, report_line_format& line) {
  input& in = *t.in;
  task_sink sink(*this, t);
  if (t.first && in.verbose) {
    sink.write("Searching ");
    sink.write(in.name);
    sink.write(" ...\n");
  }
  if (!in.abandoned.load() && !stop_.load()) {
    line.set_name(in.name);
    struct lines final : block_sink {
      lines(parallel_search& e, task_sink& s, report_line_format& l, input& i)
          : engine(e), sink(s), format(l), in(i) {}
      bool on_block(const std::uint32_t* starts, std::size_t count, std::uint64_t base,
                    std::uint64_t) override {
        write_report_lines(sink, format, starts, count, base);
        occurrences += count;
        if (sink.direct() && engine.out_.failed()) engine.stop();
        return !engine.stop_.load(std::memory_order_relaxed) &&
               !in.abandoned.load(std::memory_order_relaxed);
      }
      parallel_search& engine;
      task_sink& sink;
      report_line_format& format;
      input& in;
      std::uint64_t occurrences = 0;
    } found(*this, sink, line, in);
    t.outcome = blocks.scan(in.fd, t.mode, t.start, t.limit, found);
    t.occurrences = found.occurrences;
  }
  sink.finish();
  std::unique_lock<std::mutex> lock(mutex_);
  t.done = true;
  if (sink.direct()) {
    drain_with_pen(lock);
  } else {
    write_finished(lock);
  }
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
    t.reset();
    lock.lock();
  }
  pen_taken_ = false;
  state_cv_.notify_all();
}

void parallel_search::begin_output(task& t) {
  if (t.begun) return;
  t.begun = true;
  if (t.first && observer_ != nullptr) observer_->on_input_start(t.in->name, t.in->fd);
}

void parallel_search::retire(task& t) {
  if (!t.in) {
    write_error(out_, err_, t.message);
  } else if (input& in = *t.in; !in.ended) {
    begin_output(t);
    for (const task::piece& p : t.pieces) out_.write(std::string_view(p.data.get(), p.size));
    counters_.bytes_searched += t.outcome.bytes;
    counters_.occurrences += t.occurrences;
    if (observer_ != nullptr) observer_->on_bytes(t.outcome.bytes);
    if (t.outcome.read_failed) write_error(out_, err_, read_error_message(in.name));
    // A stream stops at its first failed read, or at a read that returns 0: so do the chunks.
    const bool ended_early = t.outcome.at_end && t.outcome.end_offset < t.limit;
    if (t.last || t.outcome.read_failed || ended_early || t.outcome.stopped) {
      in.ended = true;
      in.abandoned.store(true);
      ++counters_.files_searched;
      if (observer_ != nullptr) observer_->on_input_end();
    }
  }
  if (t.in) release_input(*t.in);
  if (out_.failed()) stop();
}

}  // namespace bytrove
