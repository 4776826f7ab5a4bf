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
  out.flush();
  err.write(message);
  err.flush();
}

scanner::scanner(const compiled_pattern& pattern, const search_plan& plan, output& out,
                 output& err)
    : pattern_(pattern),
      plan_(plan),
      out_(out),
      err_(err),
      buffer_(new std::uint8_t[k_scan_buffer_size]()) {}

void scanner::report(std::string_view name, std::uint64_t offset) {
  const std::size_t room = k_report_line_fixed_max + name.size();
  if (room <= output::k_capacity) {
    out_.commit(format_report_line(out_.reserve(room), offset, name));
  } else {
    std::string line(room, '\0');
    line.resize(format_report_line(line.data(), offset, name));
    out_.write(line);
  }
  ++counters_.occurrences;
}

// Reports every occurrence whose window lies wholly in buffer_[0, end).
std::size_t scanner::report_block(std::string_view name, std::uint64_t base, std::size_t end) {
  const std::size_t m = static_cast<std::size_t>(pattern_.length);
  const std::size_t step = static_cast<std::size_t>(plan_.match_shift);
  std::size_t found = 0;
  std::size_t p = find_candidate(buffer_.get(), 0, pattern_, plan_);
  while (p + m <= end) {
    report(name, base + p);
    ++found;
    p = find_candidate(buffer_.get(), p + step, pattern_, plan_);
  }
  return found;
}

void scanner::scan_stream(std::string_view name, int fd, bool verbose) {
  if (verbose) {
    std::string line = "Searching ";
    line.append(name);
    line += " ...\n";
    out_.write(line);
  }
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
      report_block(name, base, end);
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
}

}  // namespace bytrove
