#pragma once

#include <string>
#include <string_view>

namespace bytrove {

// Help where habits from other tools fail. Each returns the extra line(s) to write on standard
// error after the usual message, or "" when there is nothing to say.

// After "Unknown option \"<text>\".\n" (the switch parser's `message`): the long option that
// does what the offending letter does in grep and its kin (c: --count, l:
// --files-with-matches, ...).
std::string unknown_switch_hint(std::string_view message);

// For a switch argument applied after the pattern (or, with --patterns, after the first file
// argument): -i there changes nothing, since the pattern is already compiled.
std::string late_ignore_case_note(std::string_view arg);

// True when the switch argument holds a letter (r, h, s) that only acts on file arguments
// after it; the caller notes it when none follows (late_walk_switch_note).
bool acts_on_later_files(std::string_view arg);
std::string late_walk_switch_note(std::string_view arg);

}  // namespace bytrove
