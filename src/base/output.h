#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace bytrove {

// A write-buffered byte sink: a file descriptor (standard output, standard error) or, for
// in-process tests, a string. Once a write fails the sink stays failed and drops all later
// data; callers check failed() and end the run.
class output {
 public:
  static constexpr std::size_t k_capacity = std::size_t{1} << 16;

  explicit output(int fd, bool buffered = true);
  explicit output(std::string* sink);
  output(const output&) = delete;
  output& operator=(const output&) = delete;
  ~output();

  void write(std::string_view text);
  // Room for at least `n` bytes (n <= k_capacity) at the returned pointer; commit(k) then
  // publishes the first k of them. Lets hot paths format in place without a copy.
  char* reserve(std::size_t n) {
    if (k_capacity - used_ < n) flush_buffer();
    return buffer_.get() + used_;
  }
  void commit(std::size_t n) {
    used_ += n;
    if (!buffered_) flush_buffer();
  }
  // Writes everything buffered; false if this or any earlier write failed.
  bool flush();
  bool failed() const { return failed_; }
  // Messages (errors and notes, not the progress line) written here so far: counted by whoever
  // writes one, so a run can tell whether anything went wrong while it searched.
  void count_message() { ++messages_; }
  std::size_t messages() const { return messages_; }
  // Called before buffered data goes to the descriptor (the progress line clears itself so
  // results never land on its line). Null for none.
  void set_before_flush(void (*hook)(void*), void* context) {
    before_flush_ = hook;
    before_flush_context_ = context;
  }

 private:
  void flush_buffer();
  void write_to_fd(const char* data, std::size_t size);

  int fd_ = -1;
  std::string* sink_ = nullptr;
  bool buffered_ = true;
  bool failed_ = false;
  std::size_t used_ = 0;
  std::size_t messages_ = 0;
  std::unique_ptr<char[]> buffer_;
  void (*before_flush_)(void*) = nullptr;
  void* before_flush_context_ = nullptr;
};

// Writes an error line on standard error after flushing standard output, so a terminal shows
// both streams in the order things happened. Writes nothing once standard output has failed.
void write_error(output& out, output& err, std::string_view message);

}  // namespace bytrove
