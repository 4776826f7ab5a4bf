// What a worker does with a task: the search of each of its inputs, through one part_search
// each, into the task's output (held, or straight out once the task holds the pen). A later
// chunk under a per-input limit only counts and keeps its offsets (the pen holder writes its
// lines); a packed input is unpacked and its members searched. Runs without the mutex.

#include <cerrno>
#include <functional>
#include <optional>
#include <utility>

#include "search/chunk_plan.h"
#include "search/decode_ahead.h"
#include "search/held_output.h"
#include "search/input_source.h"
#include "search/member_search.h"
#include "search/parallel_search.h"
#include "search/part_search.h"
#include "search/worker_state.h"
#include "source/packed_input.h"

namespace bytrove {

scan_span parallel_search::span_of(const task_input& p) const {
  scan_span span = span_within(p.start, p.limit, results_.range_start, results_.range_end,
                               target_.length, results_.context);
  span.known_end = p.known_end;
  return span;
}

bool parallel_search::search_task(task& t, worker_state& state) {
  task_output output(*this, t, state.spare);
  for (std::size_t i = 0; i < t.inputs.size(); ++i) {
    task_input& p = t.inputs[i];
    state.whole_file.clear();  // it belongs to the input opened last, not to this one
    if (p.in->unopened && (stop_.load() || !open_input(t, p, state, output))) continue;
    if (p.split) {
      split_task(t, i, state);
      break;
    }
    if (p.packed && !stop_.load() && search_packed(p, state, output)) {
      if (p.in->unopened) close_opened(*p.in, state);
      continue;
    }
    p.packed = false;
    if (p.first && p.in->verbose) write_searching_line(output, p.in->name);
    if (!p.in->ended.load() && !stop_.load()) search_input(p, state, output);
    // Searched whole: its descriptor is not needed to write it, and another file may want it.
    if (p.in->unopened) close_opened(*p.in, state);
  }
  // Every input opened: their directories may close.
  t.dirs.clear();
  output.finish();
  return output.holds_pen();
}

bool parallel_search::open_input(task& t, task_input& p, worker_state& state, task_output& output) {
  shared_input& in = *p.in;
  const dir_entry plain;  // never a FIFO or device: those the walk opens itself
  // Opened in the directory the walk listed it in, when that is still held.
  int fd =
      in.dir != nullptr ? fs_.open_file_in(*in.dir, in.name, plain) : fs_.open_file(in.name, plain);
  const int open_error = errno;
  in.dir = nullptr;
  // Files held by work before this one are closed as it is written: running out of
  // descriptors is a reason to wait for that, never to lose this file. Directories held for
  // files not yet opened are let go first: waiting would not give them back.
  if (fd < 0 && (open_error == EMFILE || open_error == ENFILE)) stop_sharing_directories(&t);
  errno = open_error;
  for (bool first_wait = true; fd < 0 && (errno == EMFILE || errno == ENFILE); first_wait = false) {
    if (!wait_for_descriptors(t, first_wait)) break;
    fd = fs_.open_file(in.name, plain);
  }
  if (fd < 0) {
    p.open_failed = true;
    output.message("Error opening file " + in.name + ".\n");
    return false;
  }
  state.opened->fetch_add(1);
  in.fd = fd;
  const input_source source = describe_source(fd, true);
  if (source.regular() && options_.output_file && source.identity == *options_.output_file) {
    output.message("Skipping file " + in.name + ": it is the output file.\n");
    close_opened(in, state);
    p.open_failed = true;
    return false;
  }
  // Searched whole, to its end, whatever it has become since the walk listed it (a FIFO put in
  // its place reads as what its writer sends); a regular file too large for one task is cut
  // into chunks, as the walk would have cut it.
  p.size = source.size;
  if (source.regular()) p.known_end = source.size;
  p.packed = results_.decompress != 0 && source.regular() &&
             file_looks_packed(fd, source.size, p.head, &state.whole_file);
  p.split = source.regular() && !searched_whole(source.size, options_.chunk_size, p.packed);
  return true;
}

namespace {

// A worker's search: stops when the run stops or the input ended (a chunk before it found the
// end); a stop when output fails once the task writes straight to it.
class worker_hooks final : public part_hooks {
 public:
  worker_hooks(task_output& output, const std::atomic<bool>& stopped, const shared_input& in,
               std::function<void()> output_check)
      : output_(output), stopped_(stopped), in_(in), output_check_(std::move(output_check)) {}
  bool after_block(const found_block& /*block*/) override {
    if (output_.holds_pen()) output_check_();
    return !stopped_.load(std::memory_order_relaxed) && !in_.ended.load(std::memory_order_relaxed);
  }
  void on_read_failed() override { output_.message(read_error_message(in_.name)); }

 private:
  task_output& output_;
  const std::atomic<bool>& stopped_;
  const shared_input& in_;
  std::function<void()> output_check_;
};

}  // namespace

void parallel_search::search_input(task_input& p, worker_state& state, task_output& output) {
  const shared_input& in = *p.in;
  // A later chunk cannot know how many occurrences came before it: under a per-input limit it
  // only counts them (and keeps where they are), and its lines are written by the pen holder,
  // from the offsets it kept or by searching it again.
  p.tallied = !p.first && results_.max_count != 0 && results_.mode != result_mode::files;
  input_results<task_output>& results = p.tallied ? state.tally : state.results;
  worker_hooks hooks(output, stop_, in, [this] { stop_if_output_failed(); });
  part_request request;
  request.name = in.name;
  request.whole = p.whole();
  request.count_from = p.start;
  request.limit = p.limit;
  part_search<task_output> search(state.blocks, results, output, hooks);
  const part_outcome outcome = search.run(request, in.fd, p.mode, {{p.start, p.limit, 0}},
                                          [&](const read_range& /*range*/) { return span_of(p); });
  p.outcome = outcome.last;
  p.outcome.bytes = outcome.bytes;
  p.occurrences = outcome.found;
  p.members.add(results.per_member());
  if (p.tallied) {
    // Dumps need the bytes themselves: with context, a chunk is always searched again.
    p.replayable = results_.context == 0 && results.recorded_all();
    p.offsets.swap(results.recorded());
    p.offset_members.swap(results.recorded_members());
    p.offset_lengths.swap(results.recorded_lengths());
  }
}

bool parallel_search::decodes_ahead(const task_input& p) const {
  // Only a search that reads every member to its end: one that can stop a member early would
  // leave the decoder ahead of it, having decoded (and counted towards the expansion limit, or
  // found damaged) bytes that one thread never reads. An input too small to be worth chunks of
  // its own (a quarter of a chunk: 256 KiB) is decoded before a thread would have started.
  return p.size >= options_.chunk_size / 4 && results_.max_count == 0 &&
         results_.mode != result_mode::files && !results_.ranged();
}

bool parallel_search::search_packed(task_input& p, worker_state& state, task_output& output) {
  const shared_input& in = *p.in;
  if (state.unpacker == nullptr) {
    state.unpacker = std::make_unique<archive_reader>(unpack_limits_for(results_));
  }
  member_search<task_output> members(
      in.name, state.blocks, state.results, output, results_, target_.length, in.verbose,
      {[&](std::string message) { output.message(std::move(message)); },
       [&] { return !stop_.load(std::memory_order_relaxed); }, nullptr});
  archive_reader& unpacker = *state.unpacker;
  const auto unpack = [&](member_visitor& visitor) {
    return unpacker.unpack_file(in.fd, p.size, visitor, p.head, state.whole_file);
  };
  std::optional<unpack_status> status;
  if (decodes_ahead(p)) status = decode_ahead(options_.block_size).run(unpack, members);
  // No thread or buffers to be had: decoded here, between searches, as on one thread.
  if (!status) status = unpack(members);
  if (*status == unpack_status::not_packed) return false;
  p.files = members.totals().files;
  p.outcome.bytes = members.totals().bytes;
  p.occurrences = members.totals().occurrences;
  p.compressed = state.unpacker->compressed_read();
  return true;
}

}  // namespace bytrove
