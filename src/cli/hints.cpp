#include "cli/hints.h"

namespace bytrove {
namespace {

bool has_letter(std::string_view arg, std::string_view letters) {
  for (std::size_t i = 1; i < arg.size(); ++i) {
    const char lower = arg[i] >= 'A' && arg[i] <= 'Z' ? static_cast<char>(arg[i] | 0x20) : arg[i];
    if (letters.find(lower) != std::string_view::npos) return true;
  }
  return false;
}

// The hint for one offending switch letter, case as written (grep's -c and -C differ).
const char* letter_hint(char letter) {
  switch (letter) {
    case 'c':
      return "For a count per input, use --count.\n";
    case 'l':
      return "For the names of the inputs with an occurrence, use --files-with-matches.\n";
    case 'm':
      return "To stop each input after N occurrences, use --max-count=N.\n";
    case 'f':
      return "To search for the patterns in a file, use --patterns=FILE.\n";
    case 'j':
      return "For the number of threads, use --threads=N.\n";
    case 'A':
    case 'B':
    case 'C':
      return "For a dump of the N bytes before and after each occurrence, use --context=N.\n";
    case 'o':
    case 'b':
      return "Offsets are always printed; no switch is needed for them.\n";
    default:
      return "";
  }
}

}  // namespace

std::string unknown_switch_hint(std::string_view message) {
  const std::size_t quote = message.find('"');
  if (quote == std::string_view::npos || quote + 1 >= message.size()) return {};
  return letter_hint(message[quote + 1]);
}

std::string late_ignore_case_note(std::string_view arg) {
  if (!has_letter(arg, "i")) return {};
  return "Note: -i after the pattern changes nothing; it goes before the pattern.\n";
}

bool acts_on_later_files(std::string_view arg) { return has_letter(arg, "rhs"); }

std::string late_walk_switch_note(std::string_view arg) {
  return "Note: \"" + std::string(arg) + "\" has no file argument after it to apply to.\n";
}

}  // namespace bytrove
