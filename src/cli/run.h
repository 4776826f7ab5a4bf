#pragma once

#include <string>
#include <vector>

#include "search/search_inputs.h"

namespace bytrove {

// Runs the whole program on `args` (args[0] is the program path) and returns the exit code:
// 0 normal end, 1 usage, 2 bad hex pattern, 3 unknown switch, 4 trailing wildcard or empty
// pattern, 5 standard output could not be written, 6 out of memory (the results found before
// are written first). Every message has been written when it returns; it never throws.
int run(const std::vector<std::string>& args, io_context& io);

// The fixed texts.
extern const char* const k_banner;
extern const char* const k_usage_text;

}  // namespace bytrove
