#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/output.h"
#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"
#include "report/input_results.h"
#include "report/result_options.h"
#include "scan/block_scanner.h"
#include "search/scanner.h"
#include "walk/file_system.h"

namespace bytrove {

struct parallel_options {
  unsigned workers = 2;
  // A regular file larger than this is searched as chunks of this size side by side.
  std::uint64_t chunk_size = k_block_size;
  std::size_t block_size = k_block_size;
  // Output of tasks that are not yet at the head of the order is held in memory up to this
  // much in all; a worker that would exceed it waits for its turn.
  std::size_t output_budget = std::size_t{32} << 20;
  matcher_kind matcher = matcher_kind::automatic;
  // Files held open by submitted work at most (read ahead of the output); 0: from the
  // process's descriptor limit (RLIMIT_NOFILE).
  std::size_t open_file_budget = 0;
};

// Searches inputs on several threads with output byte-identical to searching them one after
// another.
//
// The caller (the walk, on one thread) submits work in the sequential order: files and
// messages. They become tasks, numbered in that order: a message; a batch of small files
// searched one after another; or one chunk of a large regular file, which pread()s its range
// plus the m-1 bytes after it and reports only the occurrences that start inside its range.
// Workers take tasks in order. Exactly one thread at a time holds the right to write (the
// "pen"), and only for the oldest unwritten task: the worker running that task writes its
// lines straight to standard output; other workers hold their output in memory (bounded) until
// their task comes first. Whoever finishes the oldest task writes every finished task after it.
//
// A chunk that fails to read, or finds the file ended before its range, ends the input: its
// lines, then its message; later chunks of that input are dropped unwritten and uncounted,
// exactly as one stream would have stopped there. Once standard output fails every thread
// stops at its next block and nothing more is written.
//
// Inputs that are not regular files (FIFOs, devices) are one stream: the caller's thread waits
// for everything before them to be written and searches them itself.
class parallel_search {
 public:
  parallel_search(const search_target& target, const result_options& results,
                  const pattern_names& patterns, output& out, output& err, file_system& fs,
                  const parallel_options& options);
  ~parallel_search();
  parallel_search(const parallel_search&) = delete;
  parallel_search& operator=(const parallel_search&) = delete;

  // Searches the open file `fd` named `name`; takes ownership of `fd` (closed through `fs`).
  void search_file(const std::string& name, int fd, bool verbose);
  // Searches `fd` as one stream after everything submitted before it; does not close it.
  void search_stream(const std::string& name, int fd, bool verbose);
  // Waits until everything submitted so far has been written (or the run has stopped).
  void wait_until_written();
  // Writes `message` on standard error in its place in the order.
  void report(std::string message);
  // True once standard output has failed: submit nothing more.
  bool stopped() const { return stop_.load(std::memory_order_relaxed); }
  // Waits until everything submitted has been written; returns the counters of the run.
  run_counters finish();
  // Stops every worker at its next block; nothing more is written.
  void abandon() { stop(); }
  // Threads that could be started; the run goes on with those (0: search on the caller's
  // thread instead).
  unsigned workers_started() const { return static_cast<unsigned>(workers_.size()); }
  // True when a worker ran out of memory: the run stopped there.
  bool out_of_memory() const { return out_of_memory_.load(); }
  // After an open failed for want of descriptors (EMFILE, ENFILE): waits until the files held
  // by earlier work are closed; false when none were held, so retrying cannot help.
  bool wait_for_descriptors();

  void set_observer(scan_observer* observer);

 private:
  struct input;
  struct part;
  struct task_piece;
  struct task;
  class task_sink;
  friend class task_sink;

  struct worker_state;
  void worker_main();
  void work(worker_state& state);
  scan_span span_of(const part& p) const;
  void run_task(task& t, worker_state& state, std::unique_lock<std::mutex>& lock);
  // With the pen held: writes a chunk that only counted, now that how many of its occurrences
  // the per-input limit leaves is known: from the offsets it kept, or by searching it again.
  void write_with_pen(part& p);
  // Clears a read failure past the chunk's range (the next chunk's); true for one inside it.
  static bool read_failed_in_range(part& p);
  // True when a chunk that only counted has lines to write or holds where its input stops.
  bool pen_work(const part& p) const;
  // With --decompress, searches the members of a packed input as one task; false when it turned
  // out not to be packed (nothing was written: search it as it is).
  bool run_packed(part& p, worker_state& state, task_sink& sink);
  // With the pen held: the end of an input searched in chunks.
  void end_chunked_input(input& in);
  // Adds a task in order; waits while too many are in flight. Takes ownership of the input's
  // share when the run has stopped.
  void push(std::unique_ptr<task> t);
  bool is_head(const task& t) const;
  // Under the lock: wakes idle workers when tasks wait for them.
  void wake_workers(std::unique_lock<std::mutex>& lock);
  // Takes the pen if the head task is finished and nobody holds it; writes finished tasks.
  void write_finished(std::unique_lock<std::mutex>& lock);
  // With the pen held: writes every finished task at the head, then gives the pen back.
  void drain_with_pen(std::unique_lock<std::mutex>& lock);
  // Submits the batch of small files being gathered, if any.
  void flush_batch();
  void retire(task& t);
  // Under the lock: a piece buffer from the shared pool (or a new one), and back into it.
  std::unique_ptr<char[]> take_piece_buffer();
  void recycle(std::deque<task_piece>& pieces);
  // With the pen held: held lines, or a message for standard error.
  void write_piece(const char* data, std::size_t size, const std::string& message);
  void release_input(input& in);
  // Waits while the files held open reach the budget.
  void wait_for_file_room();
  void stop();

  search_target target_;
  const result_options& results_;
  result_options tally_;  // the count mode, for chunks that only count ahead
  const pattern_names& patterns_;
  output& out_;
  output& err_;
  file_system& fs_;
  parallel_options options_;
  scan_observer* observer_ = nullptr;
  scanner inline_scanner_;                   // for streams, on the caller's thread
  std::unique_ptr<worker_state> pen_state_;  // for write_with_pen, made when first needed
  std::size_t window_;
  std::vector<std::unique_ptr<char[]>> free_pieces_;  // under mutex_
  std::unique_ptr<task> batch_;  // small files gathered by the caller, not yet submitted
  std::uint64_t batch_bytes_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable work_cv_;   // workers waiting for a task
  std::condition_variable state_cv_;  // the head moved, the pen was given back, output written
  std::condition_variable room_cv_;   // the submitter waiting for room in the window
  std::deque<std::unique_ptr<task>> tasks_;  // submitted, not yet written; head first
  std::uint64_t head_seq_ = 0;               // sequence number of tasks_.front()
  std::uint64_t next_dispatch_ = 0;          // sequence number of the next task to run
  std::size_t held_bytes_ = 0;               // output held in memory by unwritten tasks
  bool pen_taken_ = false;
  bool submitter_waiting_ = false;
  unsigned idle_workers_ = 0;
  bool submitting_done_ = false;
  unsigned starting_workers_ = 0;  // started, not yet with their buffers
  unsigned ready_workers_ = 0;     // with their buffers: they take tasks until the end
  std::size_t open_files_ = 0;     // held by submitted work, the batch's included
  std::size_t open_file_budget_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> out_of_memory_{false};

  run_counters counters_;  // written only with the pen held
  std::vector<std::thread> workers_;
};

}  // namespace bytrove
