// The whole program on several threads, files cut into chunks, checked against one stream;
// and sparse files, whose holes are skipped, checked against a copy read byte by byte.

#include <gtest/gtest.h>

#include "scanner_harness.h"

namespace bytrove {
namespace {

using namespace scan_harness;

// ---------------------------------------------------------------------------------------------
// Parallel search: whole runs, files cut into chunks, checked against one stream

TEST(parallel_search, chunked_runs_match_one_stream) {
  // The threads4 run adds the environment's threads and chunks, and checks other cases.
  const unsigned env_threads = test_threads();
  rng_type rng(0x5eed0100 + env_threads);
  const unique_fd no_input = input_file("");
  for (int c = 0; c < 250; ++c) {
    const bool ignore_case = chance(rng, 0.25);
    // Dense: every window of zeros matches, so held output runs to megabytes.
    const bool dense = chance(rng, 0.1);
    const alphabet kind = ignore_case ? alphabet::letters : static_cast<alphabet>(pick(rng, 0, 2));
    const std::size_t m = dense && chance(rng, 0.7) ? pick(rng, 1, 4) : random_length(rng);
    std::string text;
    if (dense) {
      for (std::size_t k = 0; k < m; ++k) text += k + 1 < m && chance(rng, 0.3) ? "? " : "00 ";
    } else {
      const pattern_style& style = k_styles[pick(rng, 0, std::size(k_styles) - 1)];
      text =
          random_pattern_text(rng, m, style.wild, style.text_share, kind, style.leading_wildcard);
    }
    const auto bp = build(text, ignore_case);
    ASSERT_NE(bp, nullptr);
    std::uint64_t chunks[3];
    for (std::uint64_t& chunk : chunks) chunk = random_chunk(rng, m);

    temp_dir tmp;
    const scoped_chdir cd(tmp.path());
    std::vector<std::size_t> sizes(pick(rng, 2, 4));
    std::size_t largest = 0;
    for (std::size_t& size : sizes) {
      const std::uint64_t chunk = chunks[pick(rng, 0, 2)];
      size = random_file_size(rng, m, chunk == 0 ? k_block : chunk);
      if (dense) size %= 70001;
      largest = std::max(largest, size);
    }
    // Up to about a thousand chunks per file keeps a case quick.
    for (std::uint64_t& chunk : chunks) {
      if (chunk != 0 && largest / chunk > 1024) chunk = largest / 1024 | 1;
    }
    std::vector<std::string> items;
    for (const std::size_t size : sizes) {
      std::string data =
          dense ? std::string(size, '\0') : random_data(rng, bp->pattern, size, kind);
      // Occurrences that straddle a chunk boundary, end just before it or start on it.
      for (const std::uint64_t chunk : chunks) {
        const std::uint64_t step = chunk == 0 ? k_block : chunk;
        for (int j = 0; j < 16 && size >= step && !dense; ++j) {
          const std::size_t boundary = step * pick(rng, 1, size / step);
          const std::size_t back = pick(rng, 0, m + 1);
          if (back <= boundary + 1) plant(rng, bp->pattern, data, boundary + 1 - back);
        }
      }
      items.push_back("d/f" + std::to_string(items.size()) + ".bin");
      tmp.write_file(items.back(), data);
    }
    // A dangling link fails to open, a FIFO without a writer is searched as one stream (with
    // -s), a missing argument matches nothing: messages and stream inputs among the chunks.
    ASSERT_EQ(::symlink("nowhere", "d/broken.bin"), 0);
    ASSERT_EQ(::mkfifo("d/pipe", 0644), 0);
    for (const char* extra : {"d/*", "missing.bin", "d/broken.bin", "-s", "-s-", "-v-", "-v+"}) {
      if (chance(rng, 0.3)) items.push_back(extra);
    }
    std::shuffle(items.begin(), items.end(), rng);
    // An unknown switch after the files ends the run with its exit code once they are searched.
    if (chance(rng, 0.1)) items.push_back("-Q");
    std::vector<std::string> args{"-v"};
    if (chance(rng, 0.3)) args = option_args(random_options(rng, largest, m));
    if (ignore_case) args.push_back("-i");
    args.push_back(text);
    args.insert(args.end(), items.begin(), items.end());

    const run_result want = run_threads(args, "1", 0, no_input.get());
    testing::Message what;
    what << "case " << c << ", file sizes";
    for (const std::size_t size : sizes) what << " " << size;
    for (const std::string& arg : args) what << (&arg == &args[0] ? ": bytrove '" : "' '") << arg;
    SCOPED_TRACE(what << "'");
    const unsigned threads[] = {2, 3, 8};
    for (std::size_t r = 0; r < 3; ++r) {
      SCOPED_TRACE(testing::Message() << "--threads " << threads[r] << ", chunks " << chunks[r]);
      expect_same_run(run_threads(args, std::to_string(threads[r]), chunks[r], no_input.get()),
                      want);
    }
    if (env_threads > 1) {
      SCOPED_TRACE("threads and chunks from the environment");
      expect_same_run(run_threads(args, "", 0, no_input.get()), want);
    }
    if (testing::Test::HasFailure()) return;  // one well-described failure is enough
  }
}

// ---------------------------------------------------------------------------------------------
// Sparse files: holes that cannot hold any part of an occurrence are skipped; the output must be
// exactly that of reading every byte, here of a copy with the holes written out as zeros.

TEST(sparse_files, match_a_copy_without_holes) {
  rng_type rng(0x5eed0200 + test_threads());
  const unique_fd no_input = input_file("");
  const char* const patterns[] = {"41 42", "41 00 00", "00 00 ? 43", "? 00 41", "'AB' 00 00 00"};
  for (int c = 0; c < 24; ++c) {
    const std::size_t size = pick(rng, k_block, 5 * k_block);
    std::string data(size, '\0');
    ASSERT_GE(size, k_sparse_min_size);  // smaller files are read whole anyway
    std::vector<std::pair<std::size_t, std::size_t>> segments;  // [start, end) written
    const std::size_t count = c == 0 ? 0 : pick(rng, 1, 6);
    for (std::size_t i = 0; i < count; ++i) {
      // Mostly whole pages (a hole is made of whole pages), at the very start and end now and
      // then. The pattern bytes at the edges make occurrences that straddle a hole boundary.
      std::size_t start = pick(rng, 0, size - 2);
      if (chance(rng, 0.2)) start = chance(rng, 0.5) ? 0 : size - pick(rng, 2, 5000);
      std::size_t end = std::min(size, start + pick(rng, 2, 70000));
      if (chance(rng, 0.8)) {
        start &= ~std::size_t{4095};
        end = std::min(size, (end + 4095) & ~std::size_t{4095});
      }
      for (std::size_t j = start; j < end; ++j) data[j] = "\0ABC"[pick(rng, 0, 3)];
      data.replace(start, 2, "AC");
      data.replace(end - 2, 2, "AB");
      segments.emplace_back(start, end);
    }
    temp_dir tmp;
    const std::string dense = tmp.write_file("dense/f.bin", data);
    const std::string sparse = tmp.path("sparse/f.bin");
    tmp.make_dir("sparse");
    {
      const unique_fd fd(::open(sparse.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
      ASSERT_GE(fd.get(), 0);
      ASSERT_EQ(::ftruncate(fd.get(), static_cast<off_t>(size)), 0);
      for (const auto& [start, end] : segments) {
        ASSERT_EQ(::pwrite(fd.get(), data.data() + start, end - start, static_cast<off_t>(start)),
                  static_cast<ssize_t>(end - start));
      }
    }
    std::vector<std::string> case_patterns(std::begin(patterns), std::end(patterns));
    // A pattern that can match inside zeros: no hole may be skipped (every offset matches).
    if (c < 2) case_patterns.push_back("00 00 00 00 00 00 00 00 ? 00");
    for (const std::string& pattern : case_patterns) {
      const std::vector<std::string> args{"-v", pattern, "f.bin"};
      run_result want;
      {
        const scoped_chdir cd(tmp.path("dense"));
        want = run_threads(args, "1", 0, no_input.get());
      }
      const scoped_chdir cd(tmp.path("sparse"));
      for (const unsigned threads : {1u, 4u}) {
        SCOPED_TRACE("case " + std::to_string(c) + ", pattern " + pattern + ", threads " +
                     std::to_string(threads));
        const std::uint64_t chunk = std::uint64_t{4099} << pick(rng, 0, 9);
        expect_same_run(run_threads(args, std::to_string(threads), chunk, no_input.get()), want);
      }
    }
  }
}

}  // namespace
}  // namespace bytrove
