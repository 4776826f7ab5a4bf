#include "search/stream_search.h"

#include <string>

#include "scan/read_plan.h"

namespace bytrove {

std::string read_error_message(std::string_view name) {
  std::string message = "Error reading file ";
  message.append(name);
  message += ".\n";
  return message;
}

stream_search::stream_search(const search_target& target, const result_options& options,
                             const pattern_names& patterns, output& out, output& err,
                             matcher_kind matcher, std::size_t block_size)
    : target_(target),
      options_(options),
      results_(options, patterns),
      out_(out),
      err_(err),
      blocks_(target, matcher, block_size),
      part_(blocks_, results_, out_, *this) {
  blocks_.count_only(options.counts_only() && patterns.names.empty());
}

namespace {
const result_options k_plain_results;
const pattern_names k_single_pattern;
}  // namespace

stream_search::stream_search(const compiled_pattern& pattern, const search_plan& plan, output& out,
                             output& err, matcher_kind matcher, std::size_t block_size)
    : stream_search(search_target::single(pattern, plan), k_plain_results, k_single_pattern, out,
                    err, matcher, block_size) {}

void stream_search::before_block(const found_block& block) {
  if (observer_ != nullptr) observer_->on_bytes(block.bytes);
}

bool stream_search::after_block(const found_block& block) {
  // A live stream has nothing more for now: show what it has given.
  if (block.pause) (void)out_.flush();
  return !out_.failed();
}

void stream_search::on_skipped(std::uint64_t bytes) {
  if (observer_ != nullptr) observer_->on_bytes(bytes);
}

void stream_search::on_read_failed() { write_error(out_, err_, read_error_message(name_)); }

void stream_search::scan_stream(std::string_view name, int fd, bool verbose, bool just_opened) {
  const input_source source = describe_source(fd, just_opened);
  if (options_.decompress != 0 && search_packed(name, source, verbose)) return;
  begin_input(name, fd, verbose);
  const read_mode mode = read_mode_for(source, options_);
  const std::vector<read_range> reads =
      reads_for(source, mode, options_, target_.length, target_.zeros_can_match);
  part_request request;
  request.name = name;
  request.count_from = options_.range_start;
  end_input(part_.run(request, fd, mode, reads, [&](const read_range& range) {
    scan_span span = span_within(range.start, range.end, options_.range_start, options_.range_end,
                                 target_.length, options_.context);
    if (source.chunkable()) span.known_end = source.size;
    return span;
  }));
}

void stream_search::begin_input(std::string_view name, int fd, bool verbose) {
  name_ = name;
  if (verbose) write_searching_line(out_, name);
  if (observer_ != nullptr) observer_->on_input_start(name, regular_size(fd));
}

void stream_search::end_input(const part_outcome& outcome) {
  // An input stopped early counts its bytes up to where its results end.
  counters_.bytes_searched += outcome.bytes;
  counters_.occurrences += outcome.found;
  ++counters_.files_searched;
  if (observer_ != nullptr) observer_->on_input_end();
}

}  // namespace bytrove
