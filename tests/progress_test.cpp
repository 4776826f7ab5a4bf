#include "search/progress.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace bytrove {
namespace {

constexpr std::uint64_t k_ms = 1'000'000;

// A clock the test moves by hand.
struct fake_clock {
  std::uint64_t now = 1'000 * k_ms;
};

TEST(progress_meter, redraws_at_most_four_times_a_second_and_erases_itself) {
  std::string out_text;
  std::string err_text;
  fake_clock clock;
  {
    output out(&out_text);
    output err(&err_text);
    progress_meter meter(out, err, 80, [&] { return clock.now; });
    meter.on_input_start("a.bin", 0);
    meter.on_bytes(1000);
    err.flush();
    EXPECT_EQ(err_text, "") << "nothing is drawn before the first interval has passed";

    clock.now += 300 * k_ms;
    meter.on_bytes(1000);
    err.flush();
    EXPECT_EQ(err_text.rfind("\r2.00 KB, ", 0), 0u) << err_text;
    EXPECT_NE(err_text.find("a.bin\x1b[K"), std::string::npos) << err_text;
    const std::size_t drawn = err_text.size();

    clock.now += 100 * k_ms;  // too soon for another redraw
    meter.on_bytes(1000);
    err.flush();
    EXPECT_EQ(err_text.size(), drawn);

    // Results reaching standard output first erase the line, so they never share it.
    out.write("offset line\n");
    out.flush();
    EXPECT_EQ(out_text, "offset line\n");
    EXPECT_EQ(err_text.substr(drawn), "\r\x1b[K");
  }
  // Nothing shown at the end, so nothing more to erase.
  EXPECT_EQ(err_text.size(), err_text.rfind("\r\x1b[K") + 4);
}

TEST(progress_meter, line_shows_share_of_known_sizes_and_fits_the_terminal) {
  std::string sink;
  output out(&sink);
  output err(&sink);
  fake_clock clock;
  progress_meter meter(out, err, 200, [&] { return clock.now; });
  meter.on_input_start("first.bin", 2000);
  meter.on_bytes(500);
  clock.now += 1'000 * k_ms;
  EXPECT_EQ(meter.line_text(), "500 B of 2.00 KB (25%), 500 B/s, 0 file(s), first.bin");
  meter.on_input_end();
  meter.on_input_start("second.bin", 2000);
  meter.on_bytes(1500);
  EXPECT_EQ(meter.line_text(), "2.00 KB, 2.00 KB/s, 1 file(s), 75% of second.bin");

  progress_meter narrow(out, err, 20, [&] { return clock.now; });
  EXPECT_LE(narrow.line_text().size(), 19u);
}

}  // namespace
}  // namespace bytrove
