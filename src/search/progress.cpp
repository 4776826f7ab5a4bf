#include "search/progress.h"

#include <sys/ioctl.h>
#include <time.h>

#include <cstdio>
#include <utility>

#include "search/input_source.h"

namespace bytrove {
namespace {

std::string human_bytes(double bytes) {
  static constexpr const char* k_units[] = {"B", "KB", "MB", "GB", "TB", "PB"};
  int unit = 0;
  while (bytes >= 1000.0 && unit < 5) {
    bytes /= 1000.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.2f %s", bytes, k_units[unit]);
  return text;
}

}  // namespace

std::uint64_t monotonic_ns() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(ts.tv_nsec);
}

int terminal_width(int fd) {
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 10) return size.ws_col;
  return 80;
}

progress_meter::progress_meter(output& out, output& err, int width, clock_fn clock)
    : out_(out), err_(err), width_(width), clock_(std::move(clock)) {
  start_ns_ = clock_();
  last_draw_ns_ = start_ns_;
  // Whatever else reaches the terminal first erases the line.
  auto erase = [](void* self) { static_cast<progress_meter*>(self)->clear(); };
  out_.set_before_flush(erase, this);
  err_.set_before_flush(erase, this);
}

progress_meter::~progress_meter() {
  clear();
  out_.set_before_flush(nullptr, nullptr);
  err_.set_before_flush(nullptr, nullptr);
}

void progress_meter::on_input_start(std::string_view name, std::uint64_t size) {
  name_.assign(name);
  input_done_ = 0;
  input_total_ = size;
  maybe_draw();
}

void progress_meter::on_bytes(std::uint64_t count) {
  bytes_done_ += count;
  input_done_ += count;
  maybe_draw();
}

void progress_meter::on_input_end() {
  ++files_;
  maybe_draw();
}

std::string progress_meter::line_text() const {
  const double seconds = static_cast<double>(clock_() - start_ns_) / 1e9;
  std::string text = human_bytes(static_cast<double>(bytes_done_));
  if (input_total_ > 0 && files_ == 0) {
    // One input of known size so far: show how far into it we are.
    char share[16];
    std::snprintf(share, sizeof share, " (%.0f%%)",
                  100.0 * static_cast<double>(input_done_) / static_cast<double>(input_total_));
    text.append(" of ").append(human_bytes(static_cast<double>(input_total_))).append(share);
  }
  if (seconds > 0.0) {
    text.append(", ").append(human_bytes(static_cast<double>(bytes_done_) / seconds)).append("/s");
  }
  char files[48];
  std::snprintf(files, sizeof files, ", %llu file(s)", static_cast<unsigned long long>(files_));
  text += files;
  if (input_total_ > 0 && files_ > 0) {
    // Later inputs of known size: how far into the current one, before its name, so a long
    // name cut at the terminal's edge cannot hide it.
    char share[16];
    std::snprintf(share, sizeof share, ", %.0f%% of",
                  100.0 * static_cast<double>(input_done_) / static_cast<double>(input_total_));
    text += share;
  }
  if (!name_.empty()) text.append(input_total_ > 0 && files_ > 0 ? " " : ", ").append(name_);
  const auto limit = static_cast<std::size_t>(width_ > 1 ? width_ - 1 : 1);
  if (text.size() > limit) text.resize(limit);  // one terminal line, never wrapped
  return text;
}

void progress_meter::maybe_draw() {
  const std::uint64_t now = clock_();
  if (now - last_draw_ns_ < k_redraw_interval_ns) return;
  last_draw_ns_ = now;
  out_.flush();  // results first, so they stand above the line
  writing_ = true;
  std::string text = "\r";  // one write, so the terminal never shows half a line
  text.append(line_text()).append("\x1b[K");
  err_.write(text);
  err_.flush();
  writing_ = false;
  shown_ = true;
}

void progress_meter::clear() {
  if (!shown_ || writing_) return;
  shown_ = false;
  writing_ = true;
  err_.write("\r\x1b[K");
  err_.flush();
  writing_ = false;
}

}  // namespace bytrove
