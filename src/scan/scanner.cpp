#include "scan/scanner.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "scan/matcher.h"
#include "scan/report_line.h"

namespace bytrove {
namespace {

// Fills up to `want` bytes by repeated reads: a short read is not the end of the input, only a
// read that returns 0 is. Sets `failed` when a read fails; what was read before still counts.
std::size_t read_block(int fd, std::uint8_t* dst, std::size_t want, bool& failed) {
  std::size_t got = 0;
  while (got < want) {
    const ssize_t n = ::read(fd, dst + got, want - got);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {  // a non-blocking descriptor: wait for data
      pollfd pfd{fd, POLLIN, 0};
      if (::poll(&pfd, 1, -1) >= 0 || errno == EINTR) continue;
    }
    failed = true;
    break;
  }
  return got;
}

}  // namespace

void write_error(output& out, output& err, std::string_view message) {
  // Once standard output has failed the run ends with its own message; a message that raced
  // the failed flush would appear or not depending on when the buffer happened to fill.
  if (!out.flush()) return;
  err.write(message);
  err.flush();
}

scanner::scanner(const compiled_pattern& pattern, const search_plan& plan, output& out,
                 output& err, matcher_kind matcher)
    : pattern_(pattern),
      plan_(plan),
      out_(out),
      err_(err),
      buffer_(new std::uint8_t[k_scan_buffer_size]()),
      positions_(new std::uint32_t[k_block_size + k_max_positions]),
      anchors_(choose_anchors(pattern)),
      matcher_(matcher == matcher_kind::horspool ? nullptr : select_block_search(matcher),
               matcher == matcher_kind::automatic) {}

// Finds every occurrence wholly inside buffer_[0, end) and prints its line.
void scanner::search_block(std::size_t end, std::uint64_t base) {
  const report_line_format& line = line_;
  const block_job job{buffer_.get(), end, &pattern_, &plan_, anchors_};
  const block_result found = matcher_.search(job, positions_.get());
  const std::size_t room = line.max_size();
  const std::uint32_t* const positions = positions_.get();
  if (room <= output::k_capacity) {
    for (std::size_t i = 0; i < found.matches; ++i) {
      out_.commit(line.write(out_.reserve(room), base + positions[i]));
    }
  } else {  // a name longer than the output buffer: format each line on its own
    std::string text(room, '\0');
    for (std::size_t i = 0; i < found.matches; ++i) {
      out_.write(std::string_view(text.data(), line.write(text.data(), base + positions[i])));
    }
  }
  counters_.occurrences += found.matches;
}

void scanner::scan_stream(std::string_view name, int fd, bool verbose) {
  if (verbose) {
    out_.write("Searching ");
    out_.write(name);
    out_.write(" ...\n");
  }
  if (observer_ != nullptr) observer_->on_input_start(name, fd);
  line_.set_name(name);
  const std::size_t keep = static_cast<std::size_t>(pattern_.length) - 1;
  std::uint8_t* const buf = buffer_.get();
  std::uint64_t base = 0;  // input offset of buf[0]
  std::size_t fill = 0;    // where the next block goes: after the carried tail
  for (;;) {
    bool read_failed = false;
    const std::size_t got = read_block(fd, buf + fill, k_block_size, read_failed);
    if (got > 0) {
      counters_.bytes_searched += got;
      if (observer_ != nullptr) observer_->on_bytes(got);
      const std::size_t end = fill + got;
      plant_pattern_copy(buf, end, pattern_, plan_);
      search_block(end, base);
      if (!read_failed && got == k_block_size && !out_.failed()) {
        // Carry the last m-1 bytes so occurrences straddling the boundary are found; a window
        // starting in the carried tail ends in new data, so none is reported twice.
        std::memmove(buf, buf + end - keep, keep);
        base += end - keep;
        fill = keep;
        continue;
      }
    }
    if (read_failed) {
      std::string message = "Error reading file ";
      message.append(name);
      message += ".\n";
      write_error(out_, err_, message);
    }
    break;
  }
  ++counters_.files_searched;
  if (observer_ != nullptr) observer_->on_input_end();
}

}  // namespace bytrove
