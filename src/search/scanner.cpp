#include "search/scanner.h"

#include <sys/stat.h>

#include <string>

#include "scan/read_plan.h"

namespace bytrove {

void write_error(output& out, output& err, std::string_view message) {
  // Once standard output has failed the run ends with its own message; a message that raced
  // the failed flush would appear or not depending on when the buffer happened to fill.
  if (!out.flush()) return;
  err.write(message);
  err.flush();
}

std::string read_error_message(std::string_view name) {
  std::string message = "Error reading file ";
  message.append(name);
  message += ".\n";
  return message;
}

scanner::scanner(const compiled_pattern& pattern, const search_plan& plan, output& out,
                 output& err, matcher_kind matcher, std::size_t block_size)
    : pattern_(pattern), out_(out), err_(err), blocks_(pattern, plan, matcher, block_size) {}

bool scanner::on_block(const std::uint32_t* starts, std::size_t count, std::uint64_t base,
                       std::uint64_t bytes) {
  counters_.bytes_searched += bytes;
  if (observer_ != nullptr) observer_->on_bytes(bytes);
  write_report_lines(out_, line_, starts, count, base);
  counters_.occurrences += count;
  return !out_.failed();
}

void scanner::scan_stream(std::string_view name, int fd, bool verbose) {
  if (verbose) {
    out_.write("Searching ");
    out_.write(name);
    out_.write(" ...\n");
  }
  if (observer_ != nullptr) observer_->on_input_start(name, fd);
  line_.set_name(name);
  // A large regular file is read at offsets, over the ranges worth reading; anything else as
  // one stream from where it is.
  read_mode mode = read_mode::stream;
  std::vector<read_range> ranges{{0, k_no_limit, 0}};
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      static_cast<std::uint64_t>(st.st_size) >= k_sparse_min_size) {
    mode = read_mode::positioned;
    ranges = plan_reads(fd, static_cast<std::uint64_t>(st.st_size), pattern_);
  }
  for (const read_range& range : ranges) {
    counters_.bytes_searched += range.skipped;
    if (observer_ != nullptr) observer_->on_bytes(range.skipped);
    const scan_outcome outcome = blocks_.scan(fd, mode, range.start, range.end, *this);
    if (outcome.read_failed) write_error(out_, err_, read_error_message(name));
    if (outcome.read_failed || outcome.stopped || outcome.end_offset < range.end) break;
  }
  ++counters_.files_searched;
  if (observer_ != nullptr) observer_->on_input_end();
}

}  // namespace bytrove
