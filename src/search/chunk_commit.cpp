// Committing a finished task in its place, by the holder of the pen: its held output, its
// counts into the input's and the run's, the end of its input. A chunk that only counted (a
// later chunk under a per-input limit) is written here, now that the occurrences before it are
// known: replayed from the offsets it kept, or searched again. An input ends at its last chunk,
// at a failed read, where the file ended before a chunk's range, at a stop or at the
// occurrences asked for; its later chunks are then dropped unwritten and uncounted, exactly as
// one stream would have stopped there. Every function here needs the pen.

#include <memory>
#include <vector>

#include "search/parallel_search.h"
#include "search/part_search.h"
#include "search/worker_state.h"

namespace bytrove {

void parallel_search::commit_task(task& t) {
  if (t.inputs.empty()) {
    write_message(t.message);
    stop_if_output_failed();
    return;
  }
  // Only a chunk can find its input ended; then all of the task is dropped. A chunk that only
  // counted held at most a message about its read: searched again, it writes that message
  // itself; replayed, its lines come before the message.
  const task_input& front = t.inputs.front();
  const bool with_pen = pen_work(front);
  if (!front.in->ended.load() && !with_pen) write_held(t.held);
  // The rooms of the files closed here are given back at once for the task: one change of the
  // count the walk adds to at every file, rather than one per file.
  std::size_t closed = 0;
  for (task_input& p : t.inputs) {
    // A file that could not be opened was never an input: its message was all it held.
    if (!p.in->ended.load() && !p.open_failed) {
      if (with_pen) {
        write_counted(p);
        if (p.replayable) write_held(t.held);
      }
      commit_input(p);
    }
    if (release_share(*p.in)) ++closed;
  }
  give_back_file_room(closed);
  stop_if_output_failed();
}

void parallel_search::commit_input(task_input& p) {
  shared_input& in = *p.in;
  const bool summed = !p.whole();  // a chunk: its input's counts add up here
  if (summed) {
    in.total += p.occurrences;
    in.per_member.add(p.members);
  }
  counters_.bytes_searched += p.skipped + p.outcome.bytes;
  counters_.occurrences += p.occurrences;
  if (observer_ != nullptr) {
    if (p.first) observer_->on_input_start(in.name, p.size);
    observer_->on_bytes(p.packed ? p.compressed : p.skipped + p.outcome.bytes);
  }
  if (!input_stops_at(p, summed)) return;
  in.ended.store(true);
  counters_.files_searched += p.packed ? p.files : 1;
  if (summed) write_input_end(out_, results_, patterns_, in.name, in.total, in.per_member);
  if (observer_ != nullptr) observer_->on_input_end();
}

bool parallel_search::input_stops_at(const task_input& p, bool summed) const {
  // A stream stops at its first failed read, or at a read that returns 0: so do chunks; and at
  // the occurrences asked for.
  const shared_input& in = *p.in;
  const bool ended_early = p.outcome.at_end && p.outcome.end_offset < p.limit;
  const bool enough = summed && ((results_.max_count != 0 && in.total >= results_.max_count) ||
                                 (results_.mode == result_mode::files && in.total > 0));
  return p.last || p.outcome.read_failed || ended_early || p.outcome.stopped || enough;
}

// Lines to write, or the input stops inside it (the place where, for the byte count).
bool parallel_search::pen_work(const task_input& p) const {
  return p.tallied && p.occurrences > 0 && !p.in->ended.load() &&
         (results_.mode == result_mode::lines || p.in->total + p.occurrences >= results_.max_count);
}

namespace {

// The pen holder's searches: results straight to standard output, stopping when it fails.
class pen_hooks final : public part_hooks {
 public:
  pen_hooks(output& out, output& err, std::string_view name) : out_(out), err_(err), name_(name) {}
  bool after_block(const found_block& /*block*/) override { return !out_.failed(); }
  void on_read_failed() override { write_error(out_, err_, read_error_message(name_)); }

 private:
  output& out_;
  output& err_;
  std::string_view name_;
};

}  // namespace

void parallel_search::write_counted(task_input& p) {
  if (pen_state_ == nullptr) pen_state_ = std::make_unique<worker_state>(*this);
  shared_input& in = *p.in;
  input_results<output>& results = pen_state_->pen_results;
  if (p.replayable) {
    replay_offsets(p, results);
  } else {
    part_request request;
    request.name = in.name;
    request.whole = false;
    request.before = in.total;
    request.count_from = p.start;
    request.limit = p.limit;
    pen_hooks hooks(out_, err_, in.name);
    part_search<output> search(pen_state_->blocks, results, out_, hooks);
    const part_outcome outcome =
        search.run(request, in.fd, p.mode, {{p.start, p.limit, 0}},
                   [&](const read_range& /*range*/) { return span_of(p); });
    p.outcome = outcome.last;
    p.outcome.bytes = outcome.bytes;
  }
  p.occurrences = results.found();
  // What the limit left of the chunk's tally, pattern by pattern as in all.
  p.members.clear();
  p.members.add(results.per_member());
}

void parallel_search::replay_offsets(task_input& p, input_results<output>& results) {
  results.start(p.in->name, false, p.in->total);
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
  p.outcome.bytes = results.bytes_from(p.start, p.outcome.bytes);
  results.finish(out_);
}

}  // namespace bytrove
