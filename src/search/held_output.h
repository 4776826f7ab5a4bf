#pragma once

// Output held back: where a worker's results go while it runs a task. Straight to standard
// output once the task holds the pen; otherwise into buffers (held_buffer) kept on the task
// until it is first, taken from a pool the threads share, within the engine's budget for held
// output (parallel_options::output_budget, 32 MiB): a worker that fills a buffer while more than
// that is held waits for its task to come first. Offers what input_results writes through.
//
// A task_output belongs to the worker running the task; what it shares with the engine it
// touches under the engine's mutex, as annotated.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "base/output.h"
#include "search/parallel_search.h"
#include "search/parallel_task.h"
#include "search/run_limits.h"

namespace bytrove {

class task_output {
 public:
  static constexpr std::size_t k_capacity = output::k_capacity;

  // `spare` is the worker's buffer, used until one is held and handed back after.
  task_output(parallel_search& engine, task& t, std::unique_ptr<char[]>& spare)
      : engine_(engine), task_(t), spare_(spare) {}
  ~task_output() {
    if (buffer_ != nullptr) spare_ = std::move(buffer_);
  }
  task_output(const task_output&) = delete;
  task_output& operator=(const task_output&) = delete;

  char* reserve(std::size_t n) EXCLUDES(engine_.mutex_);
  void commit(std::size_t n) {
    if (holds_pen_) {
      engine_.out_.commit(n);
    } else {
      used_ += n;
    }
  }
  void write(std::string_view text) EXCLUDES(engine_.mutex_);
  // A message for standard error, after the lines written so far.
  void message(std::string text) EXCLUDES(engine_.mutex_);
  // The task took the pen on the way: it writes straight to standard output.
  bool holds_pen() const { return holds_pen_; }
  // Holds what is left; the task is about to be marked done.
  void finish() EXCLUDES(engine_.mutex_);

 private:
  void hold_buffer() REQUIRES(engine_.mutex_);
  // A chunk of an input that ended before it is dropped, so its task never takes the pen.
  bool input_ended() const;
  // The buffer is full: take the pen if the task is first, else hold the buffer and, while too
  // much is held, wait for the task's turn.
  void hand_over() EXCLUDES(engine_.mutex_);
  // With the pen just taken: writes what the task held. Lets go of the mutex while it writes.
  void write_held_with_pen() REQUIRES(engine_.mutex_);

  parallel_search& engine_;
  task& task_;
  std::unique_ptr<char[]>& spare_;
  bool holds_pen_ = false;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
};

}  // namespace bytrove
