#include "search/search_inputs.h"

#include <sched.h>
#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "search/parallel_search.h"
#include "search/progress.h"
#include "search/run_limits.h"
#include "search/stream_search.h"
#include "walk/name_match.h"
#include "walk/read_ahead.h"
#include "walk/walk_directory.h"

namespace bytrove {
namespace {

// Walkers that list the tree and open its files ahead of the walk (walk/read_ahead.h): listing
// and opening are short system calls, so a few are enough and more than the CPUs only take
// turns. Files they hold open come out of the parallel search's descriptor budget: a quarter
// of it, at most k_max_open_ahead; under a descriptor limit too small to share (a budget below
// k_min_shared_budget) the walk reads nothing ahead.
constexpr unsigned k_max_walkers = 4;
constexpr std::size_t k_max_open_ahead = 512;
constexpr std::size_t k_min_shared_budget = 32;

struct walk_share {
  unsigned walkers = 0;
  std::size_t open_ahead = 0;
};

// Walkers only pay where CPUs are left over once the search has its own: on two CPUs a warm
// 20,000-file tree took 0.56 s with them against 0.43 s without (the hand-overs cost more than
// the listings and opens they move), so there they are left out.
constexpr unsigned k_cpus_kept_for_search = 2;

walk_share plan_walkers(unsigned requested, unsigned cpus, std::size_t open_budget) {
  if (open_budget < k_min_shared_budget || cpus <= k_cpus_kept_for_search) return {};
  return {std::min({requested, cpus - k_cpus_kept_for_search, k_max_walkers}),
          std::min(open_budget / 4, k_max_open_ahead)};
}

// Connects the walk to the search for one run: one stream at a time on this thread, or the
// parallel engine, which writes the same bytes.
class search_run final : public walk_visitor {
 public:
  search_run(const run_request& request, const search_target& target, const pattern_names& patterns,
             io_context& io)
      : io_(io), filters_(request.filters) {
    if (request.threads > 1) {
      const worker_plan plan =
          plan_workers(request.threads, available_cpus(), !patterns.names.empty());
      parallel_options options;
      options.workers = plan.workers;
      options.block_size = plan.block_size;
      options.matcher = io.matcher;
      if (io.chunk_size != 0) options.chunk_size = io.chunk_size;
      const std::size_t open_budget = default_open_file_budget();
      const walk_share share = plan_walkers(request.threads, available_cpus(), open_budget);
      options.open_file_budget = open_budget - share.open_ahead;
      options.output_file = io.output_file;
      parallel_.emplace(target, request.results, patterns, io.out, io.err, io.fs, options);
      // Not one thread could be started: this one searches alone, with the same output.
      if (parallel_->workers_started() == 0) parallel_.reset();
      walk_share_ = share;
    }
    if (!parallel_) stream_.emplace(target, request.results, patterns, io.out, io.err, io.matcher);
    if (request.progress && io.stderr_is_terminal) {
      progress_ = std::make_unique<progress_meter>(io.out, io.err, io.stderr_columns, monotonic_ns);
      set_observer(progress_.get());
    }
  }
  ~search_run() override {
    if (parallel_) {
      // Leaving on an exception (out of memory): stop the workers rather than finish the work.
      if (std::uncaught_exceptions() > 0) parallel_->abandon();
      (void)parallel_->finish();
    }
    if (progress_) {
      set_observer(nullptr);
      progress_->clear();
    }
  }
  search_run(const search_run&) = delete;
  search_run& operator=(const search_run&) = delete;

  void search_file(const std::string& path, int fd) override {
    if (skipped_as_output(path, fd)) {
      io_.fs.close_file(fd);
      return;
    }
    if (parallel_) {
      parallel_->search_file(path, fd, verbose_);
      return;
    }
    stream_->scan_stream(path, fd, verbose_, true);
    io_.fs.close_file(fd);
  }
  bool search_unopened(std::string& path) override {
    // Only the parallel search has threads to open files on.
    if (!parallel_) return false;
    parallel_->search_unopened(std::move(path), verbose_);
    return true;
  }
  bool wait_for_descriptors() override { return parallel_ && parallel_->wait_for_descriptors(); }
  void before_special_open() override {
    if (parallel_) parallel_->wait_until_written();
  }
  void report_error(std::string_view message) override {
    if (parallel_) {
      parallel_->report(std::string(message));
    } else {
      write_error(io_.out, io_.err, message);
    }
  }
  bool stopped() const override { return parallel_ ? parallel_->stopped() : io_.out.failed(); }

  void search_file_argument(const file_argument& argument) {
    verbose_ = argument.verbose;
    const file_argument_split split = split_file_argument(argument.text, io_.fs);
    walk_options options{argument.recurse, argument.attribute_mask, &filters_};
    if (argument.recurse) options.read_ahead = walkers();
    const bool matched = walk_directory(io_.fs, split.dir, split.name_pattern, options, *this);
    if (!matched && !stopped()) {
      report_error("Found no files matching '" + split.dir + split.name_pattern + "'.\n");
    }
  }

  void search_standard_input(bool verbose) {
    if (skipped_as_output("StdIn", io_.stdin_fd)) return;
    if (parallel_) {
      parallel_->search_stream("StdIn", io_.stdin_fd, verbose);
    } else {
      stream_->scan_stream("StdIn", io_.stdin_fd, verbose);
    }
  }

  // Waits for every result to be written; returns the run's counters. A worker that ran out of
  // memory ends the run here, on the caller's thread, as an allocation of its own would.
  run_counters finish() {
    if (!parallel_) return stream_->counters();
    const run_counters counters = parallel_->finish();
    if (parallel_->out_of_memory()) throw std::bad_alloc();
    return counters;
  }

 private:
  // Reports and passes over an input that is standard output itself.
  bool skipped_as_output(const std::string& name, int fd) {
    if (!io_.output_file) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        file_identity{st.st_dev, st.st_ino} != *io_.output_file) {
      return false;
    }
    report_error("Skipping file " + name + ": it is the output file.\n");
    return true;
  }

  // The walkers, started for the first recursive walk; none with one thread, under a small
  // descriptor limit or when not one could be started.
  walk_read_ahead* walkers() {
    if (parallel_ && walk_share_.walkers > 0 && !walkers_tried_) {
      walkers_tried_ = true;
      read_ahead_.emplace(io_.fs, walk_share_.walkers, walk_share_.open_ahead);
      if (read_ahead_->walkers_started() == 0) read_ahead_.reset();
    }
    return read_ahead_ ? &*read_ahead_ : nullptr;
  }

  void set_observer(scan_observer* observer) {
    if (parallel_) {
      parallel_->set_observer(observer);
    } else {
      stream_->set_observer(observer);
    }
  }

  io_context& io_;
  const walk_filters& filters_;
  bool verbose_ = false;
  std::optional<stream_search> stream_;
  std::optional<parallel_search> parallel_;
  walk_share walk_share_;
  bool walkers_tried_ = false;
  std::optional<walk_read_ahead> read_ahead_;  // ended before the search it feeds
  std::unique_ptr<progress_meter> progress_;
};

void write_summary(output& out, const run_counters& c, bool json) {
  char line[160];
  if (json) {
    const int length = std::snprintf(line, sizeof line,
                                     "{\"type\":\"summary\",\"occurrences\":%" PRIu64
                                     ",\"files\":%" PRIu64 ",\"bytes\":%" PRIu64 "}\n",
                                     c.occurrences, c.files_searched, c.bytes_searched);
    out.write(std::string_view(line, static_cast<std::size_t>(length)));
    return;
  }
  const int length = std::snprintf(line, sizeof line,
                                   "Found %" PRIu64 " occurence(s) in %" PRIu64 " file(s) (%" PRIu64
                                   " bytes searched).\n",
                                   c.occurrences, c.files_searched, c.bytes_searched);
  out.write(std::string_view(line, static_cast<std::size_t>(length)));
}

}  // namespace

file_argument_split split_file_argument(const std::string& argument, file_system& fs) {
  const std::size_t slash = argument.rfind('/');
  const std::string name_part = slash == std::string::npos ? argument : argument.substr(slash + 1);
  if (name_part.empty()) return {argument, "*"};
  if (!has_wildcards(name_part) && fs.is_directory(argument)) return {argument + "/", "*"};
  return {slash == std::string::npos ? std::string() : argument.substr(0, slash + 1), name_part};
}

status search_inputs(const run_request& request, const search_target& target,
                     const pattern_names& patterns, io_context& io, run_counters* totals) {
  search_run run(request, target, patterns, io);
  bool searched = false;  // standard input is the fallback when no file argument was given
  for (const file_argument& argument : request.files) {
    if (run.stopped()) break;
    if (!argument.message.empty()) {
      run.report_error(argument.message);
      continue;
    }
    searched = true;
    run.search_file_argument(argument);
  }
  if (request.stop_exit_code != 0) {
    const run_counters counters = run.finish();
    if (totals != nullptr) *totals = counters;
    return status::error(request.stop_exit_code, request.stop_message);
  }
  if (!searched && !run.stopped()) {
    run.search_standard_input(request.verbose && !request.results.json);
  }
  const run_counters counters = run.finish();
  if (totals != nullptr) *totals = counters;
  if (request.verbose && !run.stopped()) write_summary(io.out, counters, request.results.json);
  return {};
}

unsigned available_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int count = CPU_COUNT(&set);
  return count > 0 ? static_cast<unsigned>(count) : 1;
}

}  // namespace bytrove
