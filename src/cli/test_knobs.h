#pragma once

// Test knobs: the environment variables through which tests and benchmarks pin what users never
// need to choose. This is the one place the program reads BYTROVE_* variables (main passes the
// result to run() in its io_context); CONTRIBUTING.md lists them with the harnesses' own.
// Results never depend on a knob, only speed and where the work is cut.

#include <cstdint>

#include "scan/single_matchers.h"

namespace bytrove {

struct test_knobs {
  // BYTROVE_MATCHER: auto, horspool, sse2, avx2 or avx512; the block search a single pattern
  // (or a brace pattern's anchor) uses. Unset or anything else: automatic.
  matcher_kind matcher = matcher_kind::automatic;
  // BYTROVE_CHUNK_SIZE: bytes per chunk of a parallel search, so that end-to-end tests put
  // chunk boundaries everywhere in small files. Unset, not a decimal number, or 0: the default.
  std::uint64_t chunk_size = 0;
};

test_knobs test_knobs_from_environment();

// Parses "auto", "horspool", "sse2", "avx2", "avx512"; automatic for anything else.
matcher_kind parse_matcher_kind(const char* text);

}  // namespace bytrove
