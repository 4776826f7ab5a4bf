#include "report/report_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace bytrove {
namespace {

// Formats into a buffer of exactly the documented size, followed by guard bytes that must
// stay untouched.
std::string formatted(std::uint64_t offset, const std::string& name) {
  const std::size_t room = k_report_line_fixed_max + name.size();
  std::vector<char> buffer(room + 32, '#');
  const std::size_t length = format_report_line(buffer.data(), offset, name);
  EXPECT_LE(length, room);
  for (std::size_t i = room; i < buffer.size(); ++i) {
    EXPECT_EQ(buffer[i], '#') << "wrote past the documented room at offset " << offset;
  }
  return std::string(buffer.data(), length);
}

TEST(report_line, offset_1234_reads_as_documented) {
  EXPECT_EQ(formatted(1234, "data.bin"), "offset 0x000004D2      (1234) in data.bin\n");
  EXPECT_EQ(formatted(0, "StdIn"), "offset 0x00000000         (0) in StdIn\n");
}

TEST(report_line, equals_printf_at_the_field_boundaries) {
  const std::uint64_t offsets[] = {
      0,
      1,
      9,
      10,
      15,
      16,
      1234,
      0xFFFFFFF,
      0x10000000,
      999999999,    // 9 digits: the label fills 10 of 11 columns
      1000000000,   // 10 digits: the label fills the field exactly
      4294967295,   // largest 32-bit offset
      4294967296,   // the hex field grows to 9 digits
      9999999999,   // largest 10-digit offset
      10000000000,  // 11 digits: the label grows past the field
      std::uint64_t{1} << 63,
      std::numeric_limits<std::uint64_t>::max(),
  };
  for (const std::uint64_t offset : offsets) {
    for (const std::string name : {"StdIn", "", "dir/sub dir/file name.bin"}) {
      EXPECT_EQ(formatted(offset, name), reference_report_line(offset, name))
          << "offset " << offset;
    }
  }
}

TEST(report_line, longest_line_uses_the_whole_room) {
  const std::string name = "x";
  EXPECT_EQ(formatted(std::numeric_limits<std::uint64_t>::max(), name).size(),
            k_report_line_fixed_max + name.size());
}

TEST(report_line, equals_printf_for_random_offsets_of_every_width) {
  std::mt19937_64 rng(99);
  for (int bits = 1; bits <= 64; ++bits) {
    for (int k = 0; k < 50; ++k) {
      const std::uint64_t offset = bits == 64 ? rng() : rng() & ((std::uint64_t{1} << bits) - 1);
      EXPECT_EQ(formatted(offset, "f"), reference_report_line(offset, "f")) << offset;
    }
  }
  // Around every power of ten and of sixteen, where the field widths change.
  for (std::uint64_t p = 10; p <= 1000000000000000000u; p *= 10) {
    for (const std::uint64_t offset : {p - 1, p, p + 1}) {
      EXPECT_EQ(formatted(offset, "f"), reference_report_line(offset, "f")) << offset;
    }
  }
  for (int shift = 4; shift < 64; shift += 4) {
    const std::uint64_t p = std::uint64_t{1} << shift;
    for (const std::uint64_t offset : {p - 1, p, p + 1}) {
      EXPECT_EQ(formatted(offset, "f"), reference_report_line(offset, "f")) << offset;
    }
  }
}

TEST(report_line, long_name_is_copied_whole) {
  const std::string name(70000, 'n');
  EXPECT_EQ(formatted(77, name), reference_report_line(77, name));
}

TEST(report_line, prepared_format_equals_printf_across_names) {
  std::mt19937_64 rng(5);
  report_line_format format;
  // A long name, then shorter ones in the same storage, then long again.
  for (const std::string& name : {std::string(300, 'L'), std::string("StdIn"), std::string(),
                                  std::string("a/b c.bin"), std::string(1000, 'M')}) {
    format.set_name(name);
    for (int k = 0; k <= 200; ++k) {
      const int bits = 1 + k % 64;
      std::uint64_t offset = bits == 64 ? rng() : rng() & ((std::uint64_t{1} << bits) - 1);
      if (k == 200) offset = std::numeric_limits<std::uint64_t>::max();  // the longest line
      std::vector<char> buffer(format.max_size() + 16, '#');
      const std::size_t length = format.write(buffer.data(), offset);
      ASSERT_LE(length, format.max_size());
      EXPECT_EQ(std::string(buffer.data(), length), reference_report_line(offset, name))
          << "offset " << offset;
      for (std::size_t i = format.max_size(); i < buffer.size(); ++i) ASSERT_EQ(buffer[i], '#');
    }
  }
  const report_line_format constructed("x.bin");
  char buffer[k_report_line_fixed_max + 5];
  EXPECT_EQ(std::string(buffer, constructed.write(buffer, 4294967296u)),
            reference_report_line(4294967296u, "x.bin"));
}

}  // namespace
}  // namespace bytrove
