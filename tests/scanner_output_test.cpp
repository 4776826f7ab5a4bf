// The stream scanner's output text and counters: report lines, long names, the verbose line,
// counters over several inputs, failed reads, and a failed standard output.

#include <gtest/gtest.h>

#include "scanner_harness.h"

namespace bytrove {
namespace {

using namespace scan_harness;

// ---------------------------------------------------------------------------------------------
// Output text and counters

TEST(scanner, report_line_text) {
  const auto bp = build("'ab'", false);
  ASSERT_NE(bp, nullptr);
  std::string data(200000, '-');
  data.replace(0, 2, "ab");
  data.replace(1234, 2, "ab");
  data.replace(100000, 2, "ab");
  const scan_result got = scan_file(*bp, data, "dir/sample.bin");
  EXPECT_EQ(got.out,
            "offset 0x00000000         (0) in dir/sample.bin\n"
            "offset 0x000004D2      (1234) in dir/sample.bin\n"
            "offset 0x000186A0    (100000) in dir/sample.bin\n");
}

TEST(scanner, name_longer_than_the_output_buffer) {
  const auto bp = build("'ab'", false);
  ASSERT_NE(bp, nullptr);
  const std::string name = std::string(output::k_capacity + 100, 'd') + "/file.bin";
  const std::string data = "ab--ab" + std::string(k_block, '-') + "ab";
  for (const matcher_kind kind : k_kinds) {
    SCOPED_TRACE(kind_name(kind));
    const scan_result got = scan_file(*bp, data, name, true, kind);
    EXPECT_TRUE(got.out ==
                "Searching " + name + " ...\n" + expected_report({0, 4, k_block + 6}, name));
  }
}

TEST(scanner, verbose_line_precedes_the_report_even_for_empty_input) {
  const auto bp = build("'ab'", false);
  ASSERT_NE(bp, nullptr);
  EXPECT_EQ(scan_file(*bp, "", "empty.bin", true).out, "Searching empty.bin ...\n");
  EXPECT_EQ(scan_file(*bp, "xxab", "sub/x.bin", true).out,
            "Searching sub/x.bin ...\n"
            "offset 0x00000002         (2) in sub/x.bin\n");
  EXPECT_EQ(scan_file(*bp, "xxab", "sub/x.bin", false).out,
            "offset 0x00000002         (2) in sub/x.bin\n");
}

TEST(scanner, counters_add_up_over_several_inputs) {
  const auto bp = build("41 ? 43", false);
  ASSERT_NE(bp, nullptr);
  std::string out;
  std::string err;
  output out_sink(&out);
  output err_sink(&err);
  scanner scan(bp->pattern, bp->plan, out_sink, err_sink);
  const std::string inputs[] = {"ABCAxC", "", std::string(k_block + 5, 'A') + "ABC", "AC"};
  std::uint64_t bytes = 0;
  std::uint64_t found = 0;
  for (const std::string& data : inputs) {
    const unique_fd fd = memory_file(data);
    scan.scan_stream("f", fd.get(), false);
    bytes += data.size();
    found += naive_find_all(bp->pattern, data).size();
  }
  out_sink.flush();
  EXPECT_EQ(scan.counters().files_searched, 4u);
  EXPECT_EQ(scan.counters().bytes_searched, bytes);
  EXPECT_EQ(scan.counters().occurrences, found);
  EXPECT_EQ(found, 3u);
  EXPECT_EQ(parse_offsets(out, "f").size(), found);
}

TEST(scanner, failed_read_is_reported_and_still_counted) {
  const auto bp = build("41", false);
  ASSERT_NE(bp, nullptr);
  const unique_fd file = memory_file("AAAA");
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", file.get());
  const unique_fd write_only(::open(path, O_WRONLY | O_CLOEXEC));
  ASSERT_GE(write_only.get(), 0);
  scan_result got;
  scan_into(*bp, write_only.get(), "locked.bin", false, got);
  EXPECT_EQ(got.out, "");
  EXPECT_EQ(got.err, "Error reading file locked.bin.\n");
  EXPECT_EQ(got.counters.files_searched, 1u);
  EXPECT_EQ(got.counters.bytes_searched, 0u);
  EXPECT_EQ(got.counters.occurrences, 0u);
}

TEST(scanner, stops_reading_once_standard_output_has_failed) {
  // Every byte matches, so the first block alone overflows the output buffer onto a device
  // that refuses all writes; the rest of the input is not read.
  const auto bp = build("41", false);
  ASSERT_NE(bp, nullptr);
  const unique_fd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_GE(full.get(), 0);
  output out(full.get());
  std::string err_text;
  output err(&err_text);
  scanner scan(bp->pattern, bp->plan, out, err);
  const std::string data(6 * k_block, 'A');
  const unique_fd fd = memory_file(data);
  scan.scan_stream("big.bin", fd.get(), false);
  EXPECT_TRUE(out.failed());
  EXPECT_LT(scan.counters().bytes_searched, data.size());
  EXPECT_EQ(scan.counters().files_searched, 1u);
}

}  // namespace
}  // namespace bytrove
