#pragma once

// The records the parallel engine passes between its threads: an input shared by its tasks,
// what one task searches of one input (a task_input), the output a task holds back while it is
// not first (held_buffer), and the task itself. Each field says who may touch it: the worker
// running the task (before the task is marked done), the holder of the pen (after), or anyone
// holding the engine's mutex. Plain data: the functions that follow these rules are in
// parallel_search.h, whose annotations the compiler checks.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "report/result_options.h"
#include "scan/block_scanner.h"
#include "scan/read_plan.h"
#include "search/chunk_plan.h"
#include "source/packed_input.h"
#include "walk/file_system.h"

namespace bytrove {

// The directory an input left unopened was listed in, held open so that the worker opening the
// input resolves one name rather than its whole path again. Counted in the engine's `held`
// while it lives: those descriptors are set aside from the files' budget.
struct shared_directory {
  shared_directory(std::shared_ptr<const open_directory> listed, std::atomic<std::size_t>& count)
      : dir(std::move(listed)), held(count) {
    held.fetch_add(1);
  }
  ~shared_directory() { held.fetch_sub(1); }
  shared_directory(const shared_directory&) = delete;
  shared_directory& operator=(const shared_directory&) = delete;
  const std::shared_ptr<const open_directory> dir;
  std::atomic<std::size_t>& held;
};

// One input, shared by its tasks.
struct shared_input {
  std::string name;
  int fd = -1;
  bool verbose = false;
  // Left for the worker that searches it to open (a file the walk only listed): that worker
  // opens it, searches it whole and closes it at once; or, finding it too large to search
  // whole, keeps it open for the chunks it is then cut into.
  bool unopened = false;
  // Where an unopened input was listed, when it could be shared: held by its task (task::dirs),
  // and cleared with them.
  const open_directory* dir = nullptr;
  std::atomic<std::uint64_t> tasks_left{0};  // the last one released closes fd
  // Set by the pen holder when the input stops (its last chunk, a failed read, the file ended
  // before a chunk's range, the occurrences asked for): later chunks are dropped unwritten and
  // uncounted, and a worker that sees it reads no further.
  std::atomic<bool> ended{false};
  // Pen holder only: what the chunks written so far found.
  std::uint64_t total = 0;
  member_counts per_member;
};

// What one task searches of one input: all of it (an input of a batch) or one chunk.
struct task_input {
  std::shared_ptr<shared_input> in;
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
  std::vector<std::uint32_t> offset_lengths;  // the shortest match at each
  // A packed input, unpacked and searched whole by one task: the members it searched, and the
  // compressed bytes read (the progress line's measure for it).
  bool packed = false;
  file_head head;  // of a packed input, as recognised
  std::uint64_t size = 0;
  // A regular file's size when it was opened, where known: a short read that reaches it is the
  // file's end (scan_span::known_end).
  std::uint64_t known_end = k_no_limit;
  std::uint64_t files = 1;
  // An input left unopened whose open failed: its message is its only output, and it is not
  // counted as searched.
  bool open_failed = false;
  // An input left unopened that its worker found too large to search whole: cut into chunks.
  bool split = false;
  std::uint64_t compressed = 0;

  // A whole input, not one chunk of several: its counts are written by its own search.
  bool whole() const { return first && last; }
};

// Output a task holds until it is first: lines, or a message for standard error.
struct held_buffer {
  std::unique_ptr<char[]> data;
  std::size_t size = 0;
  std::string message;
};

// The chunks of an input not yet handed out, in order.
struct pending_chunks {
  std::vector<chunk_range> ranges;
  std::size_t next = 0;
};

// A numbered unit of work: a message, a batch of whole inputs, or one chunk of an input. Or the
// chunks of an input still to come (`pending`, its one input the pattern for them): taking it
// hands out its next chunk as a task of its own, placed before it, until the last chunk is
// this task itself.
struct task {
  std::vector<task_input> inputs;  // empty for a message
  // The directories its unopened inputs were listed in (shared_input::dir), held by the task
  // rather than by each input: one reference per directory, not one per file, which the walk
  // and a worker would otherwise pass between their cores at every file. Let go once the task
  // is searched, by the worker running it, or under the mutex while nobody has taken it.
  std::vector<std::shared_ptr<shared_directory>> dirs;
  std::string message;
  std::unique_ptr<pending_chunks> pending;

  // Under the engine's mutex: output held until the task is first, in order.
  std::deque<held_buffer> held;
  std::size_t held_bytes = 0;
  bool taken = false;  // by a worker
  bool done = false;
};

}  // namespace bytrove
