#pragma once

#include <string>
#include <utility>

namespace bytrove {

// Exit codes of the program.
inline constexpr int k_exit_ok = 0;
inline constexpr int k_exit_usage = 1;
inline constexpr int k_exit_bad_hex = 2;
inline constexpr int k_exit_bad_switch = 3;
inline constexpr int k_exit_trailing_wildcard = 4;
inline constexpr int k_exit_write_failed = 5;
inline constexpr int k_exit_out_of_memory = 6;

// The one message of a run that could not get the memory it needed.
inline constexpr const char* k_out_of_memory_message = "Out of memory.\n";

// The outcome of a step that may end the run: ok, or an exit code with the exact text to
// write on standard error. Only the top of the program writes it and ends the run.
class [[nodiscard]] status {
 public:
  status() = default;
  static status error(int exit_code, std::string message) {
    return status(exit_code, std::move(message));
  }
  bool ok() const { return exit_code_ == k_exit_ok; }
  int exit_code() const { return exit_code_; }
  const std::string& message() const { return message_; }

 private:
  status(int exit_code, std::string message)
      : exit_code_(exit_code), message_(std::move(message)) {}
  int exit_code_ = k_exit_ok;
  std::string message_;
};

}  // namespace bytrove
