#pragma once

#include <string_view>

#include "base/status.h"
#include "cli/run_settings.h"

namespace bytrove {

// Applies one switch argument given without its leading "/" or "-": letters h, i, r, s, v in
// either case, each optionally followed by "+" (on, the default) or "-" (off). The first
// letter is always examined, so an empty text is an unknown option. Fails with exit code 3
// and "Unknown option \"<rest of text>\".\n"; letters before the bad one stay applied.
status parse_switches(std::string_view text, run_settings& settings);

// True for an argument that starts with "/" or "-": a switch wherever it stands (until "--"),
// so a pattern or file name can never start with either.
inline bool is_switch_argument(std::string_view arg) {
  return !arg.empty() && (arg[0] == '/' || arg[0] == '-');
}

}  // namespace bytrove
