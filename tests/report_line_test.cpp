#include "scan/report_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "base/output.h"
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

// Bytes that reveal a misplaced or repeated chunk.
std::string pattern_bytes(std::size_t size, std::size_t seed) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 31 + seed) % 251);
  return data;
}

TEST(output, string_sink_receives_everything_in_order) {
  std::string sink;
  std::string expected;
  {
    output out(&sink);
    // Piece sizes chosen to end just before, at and just after the 64 KiB buffer's end.
    const std::size_t sizes[] = {
        1, output::k_capacity - 2, 1, 1, output::k_capacity, 3 * output::k_capacity + 5, 0, 7};
    std::size_t seed = 0;
    for (const std::size_t size : sizes) {
      const std::string piece = pattern_bytes(size, ++seed);
      out.write(piece);
      expected += piece;
    }
    EXPECT_TRUE(out.flush());
    EXPECT_EQ(sink, expected);
    out.write("tail");
    expected += "tail";
  }  // the destructor flushes what is left
  EXPECT_EQ(sink, expected);
}

TEST(output, reserve_and_commit_publish_in_order_with_writes) {
  std::string sink;
  std::string expected;
  output out(&sink);
  const std::string head = pattern_bytes(output::k_capacity - 3, 1);
  out.write(head);
  expected += head;
  // Less room is left than asked for: the reserved space must still hold all of it.
  char* room = out.reserve(10);
  for (int i = 0; i < 10; ++i) room[i] = static_cast<char>('a' + i);
  out.commit(6);  // only the first six are published
  expected += "abcdef";
  out.write("|");
  expected += "|";
  // A whole buffer's worth at once.
  room = out.reserve(output::k_capacity);
  const std::string full = pattern_bytes(output::k_capacity, 2);
  full.copy(room, full.size());
  out.commit(full.size());
  expected += full;
  for (int i = 0; i < 3000; ++i) {
    const std::string line = reference_report_line(static_cast<std::uint64_t>(i), "x");
    room = out.reserve(k_report_line_fixed_max + 1);
    const std::size_t length = format_report_line(room, static_cast<std::uint64_t>(i), "x");
    out.commit(length);
    expected += line;
  }
  EXPECT_TRUE(out.flush());
  EXPECT_EQ(sink, expected);
}

TEST(output, unbuffered_descriptor_writes_at_once) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
  const unique_fd read_end(fds[0]);
  const unique_fd write_end(fds[1]);
  output out(write_end.get(), /*buffered=*/false);
  out.write("now");
  char got[8] = {};
  EXPECT_EQ(::read(read_end.get(), got, sizeof got), 3);
  EXPECT_STREQ(got, "now");
  std::string("abc").copy(out.reserve(4), 3);
  out.commit(3);
  char more[8] = {};
  EXPECT_EQ(::read(read_end.get(), more, sizeof more), 3);
  EXPECT_STREQ(more, "abc");
  EXPECT_FALSE(out.failed());
}

TEST(output, buffered_descriptor_writes_on_flush) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_NONBLOCK), 0);
  const unique_fd read_end(fds[0]);
  const unique_fd write_end(fds[1]);
  output out(write_end.get());
  out.write("later");
  char got[8] = {};
  EXPECT_EQ(::read(read_end.get(), got, sizeof got), -1);  // nothing yet
  EXPECT_TRUE(out.flush());
  EXPECT_EQ(::read(read_end.get(), got, sizeof got), 5);
  EXPECT_EQ(std::string(got, 5), "later");
}

TEST(output, failed_write_stays_failed) {
  const unique_fd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  if (full.get() < 0) GTEST_SKIP() << "/dev/full is not available";
  output out(full.get());
  out.write("x");
  EXPECT_FALSE(out.failed());  // still in the buffer
  EXPECT_FALSE(out.flush());
  EXPECT_TRUE(out.failed());
  out.write("y");
  EXPECT_FALSE(out.flush());
  EXPECT_TRUE(out.failed());
}

}  // namespace
}  // namespace bytrove
