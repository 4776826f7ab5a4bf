#include "base/output.h"

#include <unistd.h>

#include <cerrno>

namespace bytrove {

output::output(int fd, bool buffered)
    : fd_(fd), buffered_(buffered), buffer_(new char[k_capacity]) {}

output::output(std::string* sink) : sink_(sink), buffer_(new char[k_capacity]) {}

output::~output() { flush_buffer(); }

void output::write(std::string_view text) {
  if (text.size() >= k_capacity && fd_ >= 0 && buffered_) {
    // A large piece (results held for their turn) goes out as it is, without a copy.
    flush_buffer();
    if (before_flush_ != nullptr) before_flush_(before_flush_context_);
    write_to_fd(text.data(), text.size());
    return;
  }
  while (!text.empty()) {
    if (used_ == k_capacity) flush_buffer();
    const std::size_t room = k_capacity - used_;
    const std::size_t take = text.size() < room ? text.size() : room;
    text.copy(buffer_.get() + used_, take);
    used_ += take;
    text.remove_prefix(take);
  }
  if (!buffered_) flush_buffer();
}

bool output::flush() {
  flush_buffer();
  return !failed_;
}

void output::flush_buffer() {
  if (used_ == 0) return;
  if (before_flush_ != nullptr) before_flush_(before_flush_context_);
  const char* data = buffer_.get();
  std::size_t left = used_;
  used_ = 0;
  if (failed_) return;
  if (sink_ != nullptr) {
    sink_->append(data, left);
    return;
  }
  write_to_fd(data, left);
}

void output::write_to_fd(const char* data, std::size_t left) {
  if (failed_) return;
  while (left > 0) {
    const ssize_t written = ::write(fd_, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      failed_ = true;
      return;
    }
    if (written == 0) {  // no progress and no error: treat as failure rather than spin
      failed_ = true;
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

void write_error(output& out, output& err, std::string_view message) {
  // Once standard output has failed the run ends with its own message; a message that raced
  // the failed flush would appear or not depending on when the buffer happened to fill.
  if (!out.flush()) return;
  err.count_message();
  err.write(message);
  err.flush();
}

}  // namespace bytrove
