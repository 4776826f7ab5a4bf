#include "search/chunk_plan.h"

#include <algorithm>

namespace bytrove {

std::vector<chunk_range> plan_chunks(const std::vector<read_range>& reads, std::uint64_t size,
                                     std::uint64_t chunk_size, std::uint64_t range_end) {
  std::vector<chunk_range> chunks;
  for (const read_range& r : reads) {
    // A range that reaches past the end is cut where the file ends now; the last chunk reads on.
    const std::uint64_t end = std::min(r.end, std::max(size, r.start));
    std::uint64_t skipped = r.skipped;
    std::uint64_t at = r.start;
    do {
      const std::uint64_t limit = end - at > chunk_size ? at + chunk_size : end;
      chunks.push_back({at, limit, skipped});
      skipped = 0;
      at = limit;
    } while (at < end);
  }
  chunks.back().limit = range_end;
  return chunks;
}

}  // namespace bytrove
