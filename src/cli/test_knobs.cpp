#include "cli/test_knobs.h"

#include <cstdlib>
#include <cstring>

namespace bytrove {
namespace {

std::uint64_t parse_chunk_size(const char* text) {
  if (text == nullptr) return 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  return end != text && *end == '\0' ? value : 0;
}

}  // namespace

test_knobs test_knobs_from_environment() {
  test_knobs knobs;
  knobs.matcher = parse_matcher_kind(std::getenv("BYTROVE_MATCHER"));
  knobs.chunk_size = parse_chunk_size(std::getenv("BYTROVE_CHUNK_SIZE"));
  return knobs;
}

matcher_kind parse_matcher_kind(const char* text) {
  if (text == nullptr) return matcher_kind::automatic;
  if (std::strcmp(text, "horspool") == 0) return matcher_kind::horspool;
  if (std::strcmp(text, "sse2") == 0) return matcher_kind::sse2;
  if (std::strcmp(text, "avx2") == 0) return matcher_kind::avx2;
  if (std::strcmp(text, "avx512") == 0) return matcher_kind::avx512;
  return matcher_kind::automatic;
}

}  // namespace bytrove
