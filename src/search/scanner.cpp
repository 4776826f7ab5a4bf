#include "search/scanner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "scan/read_plan.h"

namespace bytrove {

std::string read_error_message(std::string_view name) {
  std::string message = "Error reading file ";
  message.append(name);
  message += ".\n";
  return message;
}

read_mode read_mode_for(int fd, const result_options& options, std::uint64_t& size) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return read_mode::stream;
  size = static_cast<std::uint64_t>(st.st_size);
  // A file whose reading has begun (standard input, after the caller consumed a line) is
  // searched from where it stands, as a pipe would be: read as a stream, offsets count from
  // there.
  if (S_ISREG(st.st_mode) && ::lseek(fd, 0, SEEK_CUR) > 0) return read_mode::stream;
  if (S_ISREG(st.st_mode)) {
    return size >= k_sparse_min_size || options.ranged() ? read_mode::positioned
                                                         : read_mode::stream;
  }
  return S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode) ? read_mode::live
                                                                             : read_mode::stream;
}

scanner::scanner(const search_target& target, const result_options& options,
                 const pattern_names& patterns, output& out, output& err, matcher_kind matcher,
                 std::size_t block_size)
    : target_(target),
      options_(options),
      results_(options, patterns),
      out_(out),
      err_(err),
      blocks_(target, matcher, block_size) {
  blocks_.count_only(options.counts_only() && patterns.names.empty());
}

namespace {
const result_options k_plain_results;
const pattern_names k_single_pattern;
}  // namespace

scanner::scanner(const compiled_pattern& pattern, const search_plan& plan, output& out, output& err,
                 matcher_kind matcher, std::size_t block_size)
    : scanner(search_target::single(pattern, plan), k_plain_results, k_single_pattern, out, err,
              matcher, block_size) {}

bool scanner::on_block(const found_block& block) {
  counters_.bytes_searched += block.bytes;
  if (observer_ != nullptr) observer_->on_bytes(block.bytes);
  const bool more = results_.on_block(out_, block);
  // A live stream has nothing more for now: show what it has given.
  if (block.pause) (void)out_.flush();
  return more && !out_.failed();
}

void scanner::scan_stream(std::string_view name, int fd, bool verbose) {
  if (options_.decompress != 0 && scan_packed(name, fd, verbose)) return;
  begin_input(name, fd, verbose);
  std::uint64_t size = 0;
  const read_mode mode = read_mode_for(fd, options_, size);
  std::vector<read_range> ranges{{0, k_no_limit, 0}};
  if (mode == read_mode::positioned) {
    ranges = plan_reads(fd, size, target_.length, target_.zeros_can_match);
  }
  ranges = clip_reads(ranges, options_.range_start, options_.range_end);
  const std::uint64_t bytes_before = counters_.bytes_searched;
  for (const read_range& range : ranges) {
    counters_.bytes_searched += range.skipped;
    if (observer_ != nullptr) observer_->on_bytes(range.skipped);
    const scan_span span = span_within(range.start, range.end, options_.range_start,
                                       options_.range_end, target_.length, options_.context);
    const scan_outcome outcome = blocks_.scan(fd, mode, span, *this);
    if (outcome.read_failed) write_error(out_, err_, read_error_message(name));
    if (outcome.read_failed || outcome.stopped || outcome.end_offset < range.end) break;
  }
  end_input(bytes_before);
}

void scanner::begin_input(std::string_view name, int fd, bool verbose) {
  if (verbose) {
    out_.write("Searching ");
    out_.write(name);
    out_.write(" ...\n");
  }
  if (observer_ != nullptr) observer_->on_input_start(name, fd);
  results_.start(name, true, 0);
}

void scanner::end_input(std::uint64_t bytes_before) {
  // An input stopped early counts its bytes up to where its results end.
  counters_.bytes_searched =
      bytes_before +
      results_.bytes_from(options_.range_start, counters_.bytes_searched - bytes_before);
  results_.finish(out_);
  counters_.occurrences += results_.found();
  ++counters_.files_searched;
  if (observer_ != nullptr) observer_->on_input_end();
}

}  // namespace bytrove
