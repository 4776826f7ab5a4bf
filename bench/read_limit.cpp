// read_limit: how fast can a program that reads a file with read() get through it at all?
//
// Reads the file to its end in 48 KiB and in 1 MiB blocks, once doing nothing with the data
// and once running a memchr loop over each block that counts every occurrence of one byte
// (by default the rarest byte of the file, so memchr runs over nearly the whole block). The
// best of N runs is printed in GB/s (10^9 bytes per second). The fastest read+memchr rate is
// the ceiling for a searcher that reads its input and touches every byte: compare.sh divides
// by it. The file should be in the page cache; the first, unmeasured pass puts it there.
//
//   read_limit FILE [--runs N] [--byte HEX]
//   read_limit FILE --rarest     prints each byte value present in FILE (hex) and its count,
//                                rarest first
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <string_view>

namespace bytrove {
namespace {

struct pass_result {
  std::uint64_t bytes = 0;
  std::uint64_t hits = 0;
  double seconds = 0;
  bool ok = true;
};

// One pass over the file; `byte` < 0 means read only.
pass_result read_pass(const char* path, std::uint8_t* buf, std::size_t block, int byte) {
  pass_result result;
  const int fd = ::open(path, O_RDONLY);
  if (fd < 0) {
    result.ok = false;
    return result;
  }
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const ssize_t n = ::read(fd, buf, block);
    if (n < 0) {
      result.ok = false;
      break;
    }
    if (n == 0) break;
    const auto got = static_cast<std::size_t>(n);
    result.bytes += got;
    if (byte >= 0) {
      const std::uint8_t* p = buf;
      const std::uint8_t* const end = buf + got;
      while (p < end) {
        const void* hit = std::memchr(p, byte, static_cast<std::size_t>(end - p));
        if (hit == nullptr) break;
        ++result.hits;
        p = static_cast<const std::uint8_t*>(hit) + 1;
      }
    }
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::close(fd);
  return result;
}

// Occurrences of each byte value in the file.
bool count_bytes(const char* path, std::uint8_t* buf, std::size_t block,
                 std::uint64_t (&counts)[256]) {
  const int fd = ::open(path, O_RDONLY);
  if (fd < 0) return false;
  for (;;) {
    const ssize_t n = ::read(fd, buf, block);
    if (n < 0) {
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) ++counts[buf[i]];
  }
  ::close(fd);
  return true;
}

int usage() {
  std::fputs("usage: read_limit FILE [--runs N] [--byte HEX]\n       read_limit FILE --rarest\n",
             stderr);
  return 2;
}

}  // namespace
}  // namespace bytrove

int main(int argc, char** argv) {
  using namespace bytrove;
  if (argc < 2) return usage();
  const char* path = argv[1];
  int runs = 5;
  int byte = -1;
  bool only_rarest = false;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (arg == "--byte" && i + 1 < argc) {
      byte = static_cast<int>(std::strtol(argv[++i], nullptr, 16)) & 0xFF;
    } else if (arg == "--rarest") {
      only_rarest = true;
    } else {
      return usage();
    }
  }
  if (runs < 1) return usage();

  constexpr std::size_t k_small_block = std::size_t{48} << 10;
  constexpr std::size_t k_large_block = std::size_t{1} << 20;
  const std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[k_large_block]);

  if (only_rarest || byte < 0) {
    std::uint64_t counts[256] = {};
    if (!count_bytes(path, buf.get(), k_large_block, counts)) {
      std::fprintf(stderr, "read_limit: cannot read %s\n", path);
      return 1;
    }
    // The byte values present, rarest first (the lower value first on a tie).
    std::array<int, 256> order{};
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return counts[a] < counts[b]; });
    byte = -1;
    for (const int b : order) {
      if (counts[b] == 0) continue;
      if (byte < 0) byte = b;
      if (only_rarest) {
        std::printf("%02X %llu\n", static_cast<unsigned>(b),
                    static_cast<unsigned long long>(counts[b]));
      }
    }
    if (byte < 0) {
      std::fprintf(stderr, "read_limit: %s is empty\n", path);
      return 1;
    }
    if (only_rarest) return 0;
  }

  // Unmeasured: brings the file into the page cache.
  if (!read_pass(path, buf.get(), k_large_block, -1).ok) {
    std::fprintf(stderr, "read_limit: cannot read %s\n", path);
    return 1;
  }

  std::printf("read_limit %s, best of %d runs, GB/s = 10^9 bytes/s\n", path, runs);
  double best_memchr = 0;
  for (const std::size_t block : {k_small_block, k_large_block}) {
    for (const int searched : {-1, byte}) {
      double best = 0;
      pass_result last;
      for (int run = 0; run < runs; ++run) {
        last = read_pass(path, buf.get(), block, searched);
        if (!last.ok) {
          std::fprintf(stderr, "read_limit: read of %s failed\n", path);
          return 1;
        }
        const double rate = last.seconds > 0 ? static_cast<double>(last.bytes) / last.seconds / 1e9 : 0;
        if (rate > best) best = rate;
      }
      if (searched < 0) {
        std::printf("  block %5zu KiB  read()              %7.2f GB/s  (%llu bytes)\n",
                    block >> 10, best, static_cast<unsigned long long>(last.bytes));
      } else {
        std::printf("  block %5zu KiB  read()+memchr(0x%02X)  %7.2f GB/s  (%llu hits)\n",
                    block >> 10, static_cast<unsigned>(searched), best,
                    static_cast<unsigned long long>(last.hits));
        if (best > best_memchr) best_memchr = best;
      }
    }
  }
  // The line compare.sh reads.
  std::printf("limit_gbps %.3f\n", best_memchr);
  return 0;
}
