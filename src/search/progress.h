#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/output.h"
#include "search/stream_search.h"

namespace bytrove {

// The live progress line of --progress: bytes done (of the total, for an input whose size is
// known), rate and files, redrawn in place on standard error about four times a second. It
// erases itself before anything else is written to the terminal, so it never mixes into
// results or messages, and at the end of the run.
class progress_meter final : public scan_observer {
 public:
  using clock_fn = std::function<std::uint64_t()>;  // monotonic nanoseconds

  // `err` must be a terminal for the line to make sense; `out` is cleared for before it
  // flushes. `width` is the terminal's width in columns.
  progress_meter(output& out, output& err, int width, clock_fn clock);
  ~progress_meter() override;
  progress_meter(const progress_meter&) = delete;
  progress_meter& operator=(const progress_meter&) = delete;

  void on_input_start(std::string_view name, std::uint64_t size) override;
  void on_bytes(std::uint64_t count) override;
  void on_input_end() override;

  // Erases the line if it is shown.
  void clear();

  // The text of the line as it would be drawn now (without the terminal controls).
  std::string line_text() const;

  static constexpr std::uint64_t k_redraw_interval_ns = 250'000'000;

 private:
  void maybe_draw();

  output& out_;
  output& err_;
  int width_;
  clock_fn clock_;
  std::uint64_t start_ns_ = 0;
  std::uint64_t last_draw_ns_ = 0;
  std::uint64_t bytes_done_ = 0;
  std::uint64_t input_done_ = 0;
  std::uint64_t input_total_ = 0;  // 0: unknown
  std::uint64_t files_ = 0;
  std::string name_;
  bool shown_ = false;
  bool writing_ = false;  // our own writes must not trigger the erase hook
};

// Monotonic clock in nanoseconds.
std::uint64_t monotonic_ns();
// Columns of the terminal on `fd`, or 80.
int terminal_width(int fd);

}  // namespace bytrove
