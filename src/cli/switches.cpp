#include "cli/switches.h"

#include <string>

namespace bytrove {

status parse_switches(std::string_view text, run_settings& settings) {
  std::size_t i = 0;
  do {
    char letter = i < text.size() ? text[i] : '\0';
    if (letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter | 0x20);
    if (letter != 'h' && letter != 'i' && letter != 'r' && letter != 's' && letter != 'v') {
      std::string message = "Unknown option \"";
      message.append(text.substr(i));
      message += "\".\n";
      return status::error(k_exit_bad_switch, message);
    }
    ++i;
    // Anything but "+" or "-" after a letter is the next letter, and the setting goes on.
    bool on = true;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
      on = text[i] == '+';
      ++i;
    }
    auto set_bit = [&](std::uint32_t bit) {
      settings.attribute_mask =
          on ? (settings.attribute_mask | bit) : (settings.attribute_mask & ~bit);
    };
    switch (letter) {
      case 'h':
        set_bit(k_attr_hidden);
        break;
      case 's':
        set_bit(k_attr_system);
        break;
      case 'i':
        settings.ignore_case = on;
        break;
      case 'r':
        settings.recurse = on;
        break;
      default:
        settings.verbose = on;
        break;
    }
  } while (i < text.size());
  return {};
}

}  // namespace bytrove
