#include "base/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "report/report_line.h"
#include "test_support.h"

namespace bytrove {
namespace {

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
