// The parallel engine's pure parts checked on their own: chunk planning against the read plans
// it is given (random plans, sizes and chunk sizes; every byte worth reading covered once, in
// order, within the chunk size, holes counted once), and the one place inputs are classified
// (regular files, begun files, pipes, devices, directories) with the read mode each gets.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "scan/block_scanner.h"
#include "search/chunk_plan.h"
#include "search/input_source.h"
#include "test_support.h"

namespace bytrove {
namespace {

// A read plan as clip_reads makes them: ascending, disjoint ranges, the holes between them
// counted on the next; the last may reach k_no_limit.
std::vector<read_range> random_reads(std::mt19937_64& rng, std::uint64_t size) {
  std::vector<read_range> reads;
  std::uint64_t at = rng() % 3 == 0 ? rng() % (size + 1) : 0;
  const std::uint64_t first_skip = at;
  const unsigned n = 1 + static_cast<unsigned>(rng() % 4);
  for (unsigned i = 0; i < n; ++i) {
    const std::uint64_t skipped = i == 0 ? first_skip : 1 + rng() % 5000;
    const std::uint64_t start = i == 0 ? at : at + skipped;
    const bool last = i + 1 == n;
    const std::uint64_t end = last && rng() % 2 == 0 ? k_no_limit : start + 1 + rng() % 20000;
    reads.push_back({start, end, skipped});
    if (end == k_no_limit) break;
    at = end;
  }
  return reads;
}

TEST(chunk_plan, chunks_cover_every_range_in_order_within_the_chunk_size) {
  std::mt19937_64 rng(0xc4a11c);
  for (int round = 0; round < 3000; ++round) {
    const std::uint64_t size = rng() % 60000;
    const std::uint64_t chunk = 1 + rng() % 9000;
    const std::uint64_t range_end = rng() % 2 == 0 ? k_no_limit : size + rng() % 100;
    const std::vector<read_range> reads = random_reads(rng, size);
    const std::vector<chunk_range> chunks = plan_chunks(reads, size, chunk, range_end);
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(chunks.back().limit, range_end);
    std::size_t c = 0;
    std::uint64_t skipped_total = 0;
    std::uint64_t reads_skipped = 0;
    for (const read_range& r : reads) {
      reads_skipped += r.skipped;
      // Where the file ends now cuts the range; an empty remainder is still one chunk.
      const std::uint64_t end = std::min(r.end, std::max(size, r.start));
      std::uint64_t at = r.start;
      bool first_of_range = true;
      do {
        ASSERT_LT(c, chunks.size());
        const chunk_range& k = chunks[c];
        EXPECT_EQ(k.start, at);
        EXPECT_EQ(k.skipped, first_of_range ? r.skipped : 0);
        skipped_total += k.skipped;
        const bool last_chunk = c + 1 == chunks.size();
        if (!last_chunk) {
          EXPECT_LE(k.limit - k.start, chunk);
          EXPECT_TRUE(k.limit > k.start || (k.start == end && first_of_range));
          at = k.limit;
        } else {
          at = end;
        }
        first_of_range = false;
        ++c;
      } while (at < end);
    }
    EXPECT_EQ(c, chunks.size());
    EXPECT_EQ(skipped_total, reads_skipped);
  }
}

TEST(chunk_plan, batches_and_whole_files) {
  EXPECT_FALSE(batch_is_full(k_batch_files - 1, k_batch_bytes - 1));
  EXPECT_TRUE(batch_is_full(k_batch_files, 0));
  EXPECT_TRUE(batch_is_full(1, k_batch_bytes));
  EXPECT_TRUE(searched_whole(4096, 4096, false));
  EXPECT_FALSE(searched_whole(4097, 4096, false));
  EXPECT_TRUE(searched_whole(std::uint64_t{1} << 40, 4096, true));
}

TEST(input_source, every_kind_of_descriptor_is_classified_once) {
  temp_dir dir;
  const std::string small = dir.write_file("small", std::string(100, 'a'));
  const std::string large = dir.write_file("large", std::string(k_sparse_min_size, 'b'));
  result_options whole;
  result_options ranged;
  ranged.range_start = 10;

  unique_fd small_fd(::open(small.c_str(), O_RDONLY | O_CLOEXEC));
  input_source s = describe_source(small_fd.get());
  EXPECT_EQ(s.kind, source_kind::regular);
  EXPECT_EQ(s.size, 100u);
  EXPECT_TRUE(s.chunkable());
  EXPECT_EQ(read_mode_for(s, whole), read_mode::stream);
  EXPECT_EQ(read_mode_for(s, ranged), read_mode::positioned);

  unique_fd large_fd(::open(large.c_str(), O_RDONLY | O_CLOEXEC));
  s = describe_source(large_fd.get());
  EXPECT_EQ(read_mode_for(s, whole), read_mode::positioned);
  // Reading has begun (standard input after a consumed line): a stream from where it stands.
  ASSERT_EQ(::lseek(large_fd.get(), 7, SEEK_SET), 7);
  s = describe_source(large_fd.get());
  EXPECT_TRUE(s.regular());
  EXPECT_FALSE(s.chunkable());
  EXPECT_EQ(read_mode_for(s, ranged), read_mode::stream);

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  unique_fd read_end(fds[0]);
  unique_fd write_end(fds[1]);
  s = describe_source(read_end.get());
  EXPECT_EQ(s.kind, source_kind::live);
  EXPECT_FALSE(s.chunkable());
  EXPECT_EQ(read_mode_for(s, ranged), read_mode::live);

  unique_fd null_fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(describe_source(null_fd.get()).kind, source_kind::live);

  unique_fd dir_fd(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  s = describe_source(dir_fd.get());
  EXPECT_EQ(s.kind, source_kind::stream);
  EXPECT_EQ(read_mode_for(s, whole), read_mode::stream);

  s = describe_source(-1);
  EXPECT_EQ(s.kind, source_kind::unknown);
  EXPECT_EQ(read_mode_for(s, ranged), read_mode::stream);

  // A range reads only what lies in it, from its start; a stream reads from the beginning.
  const std::vector<read_range> reads =
      reads_for(describe_source(small_fd.get()), read_mode::positioned, ranged, 4, false);
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads.front().start, 10u);
  const std::vector<read_range> stream_reads =
      reads_for(describe_source(read_end.get()), read_mode::live, whole, 4, false);
  ASSERT_EQ(stream_reads.size(), 1u);
  EXPECT_EQ(stream_reads.front().start, 0u);
  EXPECT_EQ(stream_reads.front().end, k_no_limit);
}

}  // namespace
}  // namespace bytrove
