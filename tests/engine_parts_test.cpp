// The parallel engine's pure parts checked on their own: chunk planning against the read plans
// it is given (random plans, sizes and chunk sizes; every byte worth reading covered once, in
// order, within the chunk size, holes counted once), the one place inputs are classified
// (regular files, begun files, pipes, devices, directories) with the read mode each gets, and
// the streams a packed input is read through (bytes read to recognise it handed out first, a
// gzip stream cut short giving every byte zlib decodes before the cut).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "scan/block_scanner.h"
#include "search/chunk_plan.h"
#include "search/input_source.h"
#include "source/codec_stream.h"
#include "source/packed_input.h"
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

// Reads `stream` to its end or failure in pieces of random sizes; `failed` says which.
std::string read_all(byte_stream& stream, std::mt19937_64& rng, bool& failed) {
  std::string got;
  std::uint8_t buffer[700];
  for (;;) {
    const long n = stream.read(buffer, 1 + rng() % sizeof buffer);
    failed = n < 0;
    if (n <= 0) return got;
    got.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
  }
}

// A stream of `data` in short reads.
class short_read_stream final : public byte_stream {
 public:
  explicit short_read_stream(std::string data) : data_(std::move(data)) {}
  long read(std::uint8_t* dst, std::size_t size) override {
    const std::size_t n = std::min({size, data_.size() - at_, std::size_t{1000}});
    std::memcpy(dst, data_.data() + at_, n);
    at_ += n;
    return static_cast<long>(n);
  }

 private:
  std::string data_;
  std::size_t at_ = 0;
};

TEST(packed_input, small_files_are_read_once_and_their_bytes_handed_out_whole) {
  std::mt19937_64 rng(0x5eed0400);
  const std::string gzip_mark("\x1f\x8b\x08\x00", 4);
  for (const std::size_t size : {std::size_t{4}, std::size_t{100}, std::size_t{4095},
                                 std::size_t{4096}, std::size_t{9000}}) {
    SCOPED_TRACE(size);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    data.replace(0, 4, gzip_mark);
    const unique_fd fd = input_file(data);
    file_head head;
    std::vector<std::uint8_t> whole{1, 2, 3};
    ASSERT_TRUE(file_looks_packed(fd.get(), size, head, &whole));
    // Whole only when the read that recognised it reached its end.
    EXPECT_EQ(whole.size(), size < 4096 ? size : 0);
    EXPECT_EQ(std::string(head.bytes, head.bytes + head.size), data.substr(0, 64));
    // With its bytes already read, the stream hands them out without reading the descriptor
    // (here one that cannot be read); without them, it reads the file.
    bool failed = true;
    if (!whole.empty()) {
      pread_stream given(-1, size, whole);
      EXPECT_EQ(read_all(given, rng, failed), data);
      EXPECT_FALSE(failed);
    }
    const std::size_t first = rng() % (size + 1);
    pread_stream partly(
        fd.get(), size,
        std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data.data()), first));
    EXPECT_EQ(read_all(partly, rng, failed), data);
    EXPECT_FALSE(failed);
  }
  // Not packed: nothing is kept.
  const unique_fd plain = input_file("plain text");
  file_head head;
  std::vector<std::uint8_t> whole{1};
  EXPECT_FALSE(file_looks_packed(plain.get(), 10, head, &whole));
  EXPECT_TRUE(whole.empty());
}

// `data` as one gzip member.
std::string gzip_of(const std::string& data, int level) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

TEST(codec_stream, a_gzip_stream_cut_short_gives_every_byte_zlib_decodes_before_the_cut) {
  std::mt19937_64 rng(0x5eed0402);
  // Long runs (a few input bytes that decode to many), random bytes, and both mixed.
  std::string runs(3 << 20, '\0');
  for (std::size_t at = 0; at + 8 < runs.size(); at += 4099) runs.replace(at, 8, "MARKER:)");
  std::string noise(300000, '\0');
  for (char& c : noise) c = static_cast<char>(rng());
  for (const std::string& data : {runs, noise, noise + runs + noise}) {
    const std::string packed = gzip_of(data, 9);
    for (int i = 0; i < 40; ++i) {
      // The whole stream once, otherwise a cut after the header.
      const std::size_t keep = i == 0 ? packed.size() : 10 + rng() % (packed.size() - 10);
      SCOPED_TRACE(testing::Message() << "data " << data.size() << ", cut at " << keep);
      short_read_stream source(packed.substr(0, keep));
      const std::unique_ptr<codec_stream> codec = open_codec(codec::gzip, source, nullptr);
      bool failed = false;
      const std::string got = read_all(*codec, rng, failed);
      // What zlib gives of the same bytes, all of it available at once.
      z_stream z{};
      ASSERT_EQ(inflateInit2(&z, 16 + MAX_WBITS), Z_OK);
      std::string want(data.size(), '\0');
      z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
      z.avail_in = static_cast<uInt>(keep);
      z.next_out = reinterpret_cast<Bytef*>(want.data());
      z.avail_out = static_cast<uInt>(want.size());
      const int r = inflate(&z, Z_FINISH);
      want.resize(z.total_out);
      inflateEnd(&z);
      EXPECT_EQ(got.size(), want.size());
      EXPECT_TRUE(got == want);
      EXPECT_EQ(failed, r != Z_STREAM_END);
      EXPECT_EQ(codec->error(), r == Z_STREAM_END ? "" : "unexpected end of file");
    }
  }
}

}  // namespace
}  // namespace bytrove
