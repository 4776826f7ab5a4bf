#pragma once

// The public face of the parallel engine, its threads and its shared state. The engine's jobs
// live in files of their own, each implementing the private functions listed under its name
// below: search/chunk_plan (cutting work into tasks, pure), search/task_window (the ordered
// window of tasks, who is woken, the pen handed round), search/task_search (a worker's search
// of a task's inputs), search/held_output (output held while a task is not first, and its
// budget), search/chunk_commit (writing a finished task in order). parallel_search.cpp has the
// public interface, the threads and the worker loop; search/parallel_task.h the records they
// pass between them.
//
// What each function needs is stated in code: REQUIRES(mutex_) / REQUIRES(pen_) /
// EXCLUDES(mutex_) (base/thread_annotations.h), checked by clang's -Wthread-safety.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/output.h"
#include "base/thread_annotations.h"
#include "pattern/compiled_pattern.h"
#include "pattern/search_plan.h"
#include "report/input_results.h"
#include "report/result_options.h"
#include "scan/block_scanner.h"
#include "search/input_source.h"
#include "search/parallel_task.h"
#include "search/stream_search.h"
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
  // Standard output when it is a regular file: a file left unopened that turns out to be it is
  // reported and passed over, as the walk does with those it opens.
  std::optional<file_identity> output_file;
};

// The pen: the right to write to standard output and standard error. Exactly one thread holds
// it at a time: the worker running the oldest unwritten task, whoever writes finished tasks in
// order, or the calling thread searching a stream. It is taken and given back under the mutex
// (pen_taken_); what only the writer may touch (the run's counters, an input's totals, the
// output itself) needs it held. A tag for the compiler: holding it costs nothing at run time.
class CAPABILITY("pen") pen {};

class task_output;

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

  // Searches the open file `fd` named `name`, from its start (a descriptor just opened);
  // takes ownership of `fd` (closed through `fs`).
  void search_file(const std::string& name, int fd, bool verbose) EXCLUDES(mutex_);
  // Takes the file `name`, which the walk listed as a regular file but did not open: a worker
  // opens it in its turn (reporting a failed open in its place) and searches it whole, or in
  // chunks side by side when it is large, exactly as if the walk had opened it here.
  void search_unopened(std::string name, bool verbose) EXCLUDES(mutex_);
  // Searches `fd` as one stream after everything submitted before it; does not close it.
  void search_stream(const std::string& name, int fd, bool verbose) EXCLUDES(mutex_);
  // Waits until everything submitted so far has been written (or the run has stopped).
  void wait_until_written() EXCLUDES(mutex_);
  // Writes `message` on standard error in its place in the order.
  void report(std::string message) EXCLUDES(mutex_);
  // True once standard output has failed: submit nothing more.
  bool stopped() const { return stop_.load(std::memory_order_relaxed); }
  // Waits until everything submitted has been written; returns the counters of the run.
  run_counters finish() EXCLUDES(mutex_);
  // Stops every worker at its next block; nothing more is written.
  void abandon() EXCLUDES(mutex_) { stop(); }
  // Threads that could be started; the run goes on with those (0: search on the caller's
  // thread instead).
  unsigned workers_started() const { return static_cast<unsigned>(workers_.size()); }
  // True when a worker ran out of memory: the run stopped there.
  bool out_of_memory() const { return out_of_memory_.load(); }
  // After an open failed for want of descriptors (EMFILE, ENFILE): waits until the files held
  // by earlier work are closed; false when none were held, so retrying cannot help.
  bool wait_for_descriptors() EXCLUDES(mutex_);

  // Before the first input is submitted.
  void set_observer(scan_observer* observer);

 private:
  friend class task_output;
  struct worker_state;

  // --- parallel_search.cpp: submitting, threads and the worker loop.
  void start_workers() EXCLUDES(mutex_);
  void worker_main(unsigned index) EXCLUDES(mutex_);
  void work(worker_state& state) EXCLUDES(mutex_);
  // The whole file `in` of `size` bytes into the batch being gathered; `head` as recognised when
  // it is `packed`.
  void add_to_batch(std::shared_ptr<shared_input> in, std::uint64_t size, bool packed,
                    const file_head& head = {}) EXCLUDES(mutex_);
  // Starts a batch if none is being gathered.
  void start_batch() EXCLUDES(mutex_);
  // Makes last_shared_ the directory the walk listed `path` in, for the worker that will open
  // it; false when it cannot be (not listed here, no descriptor set aside left, or sharing
  // stopped).
  bool share_directory(const std::string& path);
  // Out of descriptors: directories are no longer shared, and those held by inputs not yet
  // opened (`own`'s, which runs here, and those of tasks nobody has taken) are let go.
  void stop_sharing_directories(task* own) EXCLUDES(mutex_);
  static void let_go_of_directories(task& t);
  // The file `in` of `size` bytes as chunks, one task each.
  void submit_chunks(const std::shared_ptr<shared_input>& in, std::uint64_t size) EXCLUDES(mutex_);

  // --- task_search.cpp: what a worker does with a task.
  // Searches every input of `t`; true when its output took the pen on the way (the task was
  // first): it then writes what follows it.
  bool search_task(task& t, worker_state& state) EXCLUDES(mutex_);
  void search_input(task_input& p, worker_state& state, task_output& output) EXCLUDES(mutex_);
  // Opens an input the walk left unopened, as the walk would have; false, with its message
  // written in its place, when that fails or the file is standard output itself.
  bool open_input(task& t, task_input& p, worker_state& state, task_output& output)
      EXCLUDES(mutex_);
  // Ends `t` before its input `at`, which splits: that input's chunks, then the inputs after
  // it, follow `t` in the window, each task in its place in the order.
  void split_task(task& t, std::size_t at, worker_state& state) EXCLUDES(mutex_);
  // An open that failed for want of descriptors: waits until the task is the oldest (every file
  // before it closed) and while other workers hold files they opened; true when worth retrying.
  bool wait_for_descriptors(const task& t, bool first_wait) EXCLUDES(mutex_);
  // A worker closes an input it opened as soon as it has searched it; its place in the files
  // held open is given back when it is written, as any input's.
  void close_opened(shared_input& in, worker_state& state) EXCLUDES(mutex_);
  // Files the workers opened and hold, all of them.
  unsigned opened_by_workers() const;
  // With --decompress, searches the members of a packed input as one task; false when it turned
  // out not to be packed (nothing was written: search it as it is).
  bool search_packed(task_input& p, worker_state& state, task_output& output) EXCLUDES(mutex_);
  scan_span span_of(const task_input& p) const;
  // A packed input decoded on a thread of its own, ahead of its search (search/decode_ahead).
  bool decodes_ahead(const task_input& p) const;

  // --- task_window.cpp: the ordered window of tasks and the pen.
  // The next task not yet taken, or null.
  task* take_next_task() REQUIRES(mutex_);
  // The next chunk of the pending chunks at window position `at`, taken: a task of its own
  // before them, or the pending task itself for the last one. Null while `at` is beyond the
  // window, so chunks in flight stay bounded as submitted ones are.
  task* hand_out_chunk(std::size_t at) REQUIRES(mutex_);
  // Adds a task in order; waits while too many are in flight. Releases the task's inputs when
  // the run has stopped.
  void push(std::unique_ptr<task> t) EXCLUDES(mutex_);
  // Submits the batch of small files being gathered, if any.
  void flush_batch() EXCLUDES(mutex_);
  bool is_head(const task& t) const REQUIRES(mutex_);
  // Wakes idle workers when tasks wait for them.
  void wake_workers() REQUIRES(mutex_);
  bool pen_free() const REQUIRES(mutex_) { return !pen_taken_; }
  // Takes the pen, which the caller found free.
  void take_pen() REQUIRES(mutex_) ACQUIRE(pen_);
  void give_back_pen() REQUIRES(mutex_) RELEASE(pen_);
  // Marks the pen taken by a running task's output, which keeps it from call to call
  // (task_output::holds_pen): the compiler cannot follow it there, so where it is used the
  // task asserts it with pen_held_by_task().
  void lend_pen() REQUIRES(mutex_);
  void pen_held_by_task() const ASSERT_CAPABILITY(pen_) {}
  // Takes the pen if the head task is finished and nobody holds it; writes finished tasks.
  void write_finished() REQUIRES(mutex_);
  // Writes every finished task at the head, then gives the pen back. Lets go of the mutex
  // while it writes.
  void drain_with_pen() REQUIRES(mutex_) RELEASE(pen_);
  // One input's share of a task is over; the last share closes its file.
  void release_input(shared_input& in) EXCLUDES(mutex_);
  // The same without giving its room back: true when it closed the file, whose room the caller
  // gives back (give_back_file_room), once for all of a task's inputs.
  bool release_share(shared_input& in);
  void give_back_file_room(std::size_t files) EXCLUDES(mutex_);
  // Waits while the files held open reach the budget, then counts one more.
  void take_file_room() EXCLUDES(mutex_);
  void stop() EXCLUDES(mutex_);

  // --- held_output.cpp: output held back, its buffers and budget.
  // A buffer from the shared pool (or a new one), and back into it.
  std::unique_ptr<char[]> take_held_buffer() REQUIRES(mutex_);
  void recycle(std::deque<held_buffer>& held) REQUIRES(mutex_);
  // Writes held lines and messages, in order.
  void write_held(const std::deque<held_buffer>& held) REQUIRES(pen_);
  // A message on standard error, after flushing standard output.
  void write_message(std::string_view message) REQUIRES(pen_);
  // Stops the run once standard output has failed; true then.
  bool stop_if_output_failed() EXCLUDES(mutex_);

  // --- chunk_commit.cpp: a finished task written in its place.
  void commit_task(task& t) REQUIRES(pen_);
  void commit_input(task_input& p) REQUIRES(pen_);
  // The input stops with this part: its last chunk, a failed read, a file that ended before
  // the chunk's range, a stop, or the occurrences asked for.
  bool input_stops_at(const task_input& p, bool summed) const REQUIRES(pen_);
  // True when a chunk that only counted has lines to write or holds where its input stops.
  bool pen_work(const task_input& p) const REQUIRES(pen_);
  // Writes a chunk that only counted, now that how many of its occurrences the per-input limit
  // leaves is known: from the offsets it kept, or by searching it again.
  void write_counted(task_input& p) REQUIRES(pen_);
  void replay_offsets(task_input& p, input_results<output>& results) REQUIRES(pen_);

  search_target target_;
  const result_options& results_;
  result_options tally_;  // the count mode, for chunks that only count ahead
  const pattern_names& patterns_;
  output& out_;  // with the pen only
  output& err_;  // with the pen only
  file_system& fs_;
  parallel_options options_;
  scan_observer* observer_ = nullptr;  // set before the first input; used with the pen
  const std::size_t window_;
  const std::size_t open_file_budget_;

  // The submitting (calling) thread's own.
  stream_search inline_search_;  // for streams, with the pen
  std::unique_ptr<task> batch_;  // small files gathered, not yet submitted
  std::uint64_t batch_bytes_ = 0;
  std::shared_ptr<shared_directory> last_shared_;  // the directory shared last

  mutable checked_mutex mutex_;
  pen pen_;
  std::condition_variable work_cv_;   // workers waiting for a task
  std::condition_variable state_cv_;  // the head moved, the pen was given back, output written
  // Everything submitted is written (or the run stopped): the caller waiting in finish() is
  // woken once, not at every task written.
  std::condition_variable written_cv_;
  std::condition_variable room_cv_;  // the submitter waiting for room in the window
  std::deque<std::unique_ptr<task>> tasks_ GUARDED_BY(mutex_);  // not yet written; head first
  std::uint64_t head_seq_ GUARDED_BY(mutex_) = 0;               // sequence number of tasks_.front()
  std::uint64_t next_dispatch_ GUARDED_BY(mutex_) = 0;  // sequence number of the next to run
  std::size_t held_bytes_ GUARDED_BY(mutex_) = 0;       // held by unwritten tasks
  std::vector<std::unique_ptr<char[]>> free_buffers_ GUARDED_BY(mutex_);
  // Input lists of written batches, for the next batches (emptied then, see add_to_batch).
  std::vector<std::vector<task_input>> spare_inputs_ GUARDED_BY(mutex_);
  bool pen_taken_ GUARDED_BY(mutex_) = false;
  bool submitter_waiting_ GUARDED_BY(mutex_) = false;
  unsigned idle_workers_ GUARDED_BY(mutex_) = 0;
  bool submitting_done_ GUARDED_BY(mutex_) = false;
  unsigned starting_workers_ GUARDED_BY(mutex_) = 0;  // started, not yet with their buffers
  unsigned ready_workers_ GUARDED_BY(mutex_) = 0;     // with buffers: take tasks to the end
  // The counters below change at every file, from several threads: each group has a cache line
  // of its own, so that their traffic does not evict the flags every worker reads at every
  // block, nor the fields under the mutex (sharing one line cost a tree of small files about
  // 1% of its CPU time).
  static constexpr std::size_t k_line = 64;
  // Inputs left unopened that a worker holds open (each a moment, while it searches it),
  // counted without the mutex, which every file would otherwise take twice more: a count per
  // worker, each on a line of its own (one shared count moved between the workers' cores twice
  // per file), summed only by a worker that ran out of descriptors. And whether one waits for
  // such a file to close.
  struct alignas(k_line) opened_count {
    std::atomic<unsigned> files{0};
  };
  std::unique_ptr<opened_count[]> opened_by_workers_;
  alignas(k_line) std::atomic<bool> descriptors_wanted_{false};
  // Files held by submitted work, the batch's too, and whether the submitter waits for one of
  // them to close: counted without the mutex, which every file would otherwise take twice more
  // (on a tree of small files, the walk and a worker then took turns on one CPU). Only the
  // submitter adds to it.
  alignas(k_line) std::atomic<std::size_t> open_files_{0};
  std::atomic<bool> file_room_wanted_{false};
  // Directories shared with workers (shared_directory) and how many may be: descriptors set
  // aside from the budget above, none under a small one. The limit drops to 0 once descriptors
  // run out: nothing is shared from then on.
  std::atomic<std::size_t> shared_directories_{0};
  std::atomic<std::size_t> directory_share_limit_;
  // Set under the mutex; read anywhere (a worker checks it at every block).
  alignas(k_line) std::atomic<bool> stop_{false};
  std::atomic<bool> out_of_memory_{false};

  alignas(k_line) run_counters counters_ GUARDED_BY(pen_);
  std::unique_ptr<worker_state> pen_state_ GUARDED_BY(pen_);  // for write_counted
  std::vector<std::thread> workers_;
};

}  // namespace bytrove
