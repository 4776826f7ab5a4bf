// read_limit: how fast can a program that reads a file get through it at all?
//
// One thread: reads the file to its end with read() in 48 KiB and in 1 MiB blocks, once doing
// nothing with the data and once running a memchr loop over each block that counts every
// occurrence of one byte (by default the rarest byte of the file, so memchr runs over nearly
// the whole block).
// N threads: thread t of N pread()s the 1 MiB chunks t, t+N, t+2N, ... of the same file into
// its own buffer, again without and with the same memchr loop.
//
// Every buffer starts on a page boundary. A 1 MiB new[] block sits 16 bytes past one (the
// allocator's header in front of an mmap'ed chunk), and the kernel's copy into such a buffer
// can be several times slower (read() alone of a cached 64 MiB file on an AMD EPYC, family 25:
// 2.4 GB/s there against 9.9 GB/s page-aligned), which made the ceiling itself too low.
//
// The best of N runs is printed in GB/s (10^9 bytes per second). The file should be in the
// page cache; the first, unmeasured pass puts it there. The last two lines are for compare.sh:
//   ceiling_1thread_gbps RATE       read()+memchr, one thread, 1 MiB blocks
//   ceiling_nthread_gbps N RATE     pread()+memchr, N threads (the largest N measured)
//
//   read_limit FILE [--runs N] [--byte HEX] [--threads N]...
//                                --threads may be repeated; without it: 1 and the number of
//                                CPUs this process may run on
//   read_limit FILE --rarest     prints each byte value present in FILE (hex) and its count,
//                                rarest first
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
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
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace bytrove {
namespace {

constexpr std::size_t k_small_block = std::size_t{48} << 10;
constexpr std::size_t k_large_block = std::size_t{1} << 20;

struct free_deleter {
  void operator()(std::uint8_t* p) const { std::free(p); }
};
using page_buffer = std::unique_ptr<std::uint8_t, free_deleter>;

page_buffer page_aligned(std::size_t bytes) {
  const long page = ::sysconf(_SC_PAGESIZE);
  void* p = nullptr;
  if (::posix_memalign(&p, page > 0 ? static_cast<std::size_t>(page) : 4096, bytes) != 0) {
    return nullptr;
  }
  return page_buffer(static_cast<std::uint8_t*>(p));
}

struct pass_result {
  std::uint64_t bytes = 0;
  std::uint64_t hits = 0;
  double seconds = 0;
  bool ok = true;

  double gbps() const { return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e9 : 0; }
};

std::uint64_t count_byte(const std::uint8_t* p, std::size_t size, int byte) {
  std::uint64_t hits = 0;
  const std::uint8_t* const end = p + size;
  while (p < end) {
    const void* hit = std::memchr(p, byte, static_cast<std::size_t>(end - p));
    if (hit == nullptr) break;
    ++hits;
    p = static_cast<const std::uint8_t*>(hit) + 1;
  }
  return hits;
}

// One pass over the file with read(); `byte` < 0 means read only.
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
    if (byte >= 0) result.hits += count_byte(buf, got, byte);
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::close(fd);
  return result;
}

// Chunks first, first + stride, ... of the file; no timing, that is the caller's.
pass_result pread_chunks(int fd, std::uint64_t size, std::uint8_t* buf, std::uint64_t first,
                         std::uint64_t stride, int byte) {
  pass_result result;
  for (std::uint64_t offset = first * k_large_block; offset < size;
       offset += stride * k_large_block) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(k_large_block, size - offset));
    std::size_t got = 0;
    while (got < want) {
      const ssize_t n = ::pread(fd, buf + got, want - got, static_cast<off_t>(offset + got));
      if (n < 0) {
        result.ok = false;
        return result;
      }
      if (n == 0) break;  // the file shrank
      got += static_cast<std::size_t>(n);
    }
    result.bytes += got;
    if (byte >= 0) result.hits += count_byte(buf, got, byte);
  }
  return result;
}

// One pass over the file by buffers.size() threads, each with its own buffer. The clock
// includes starting and joining the threads: a searcher pays for that too.
pass_result pread_pass(const char* path, std::span<const page_buffer> buffers, int byte) {
  pass_result result;
  const int fd = ::open(path, O_RDONLY);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    if (fd >= 0) ::close(fd);
    result.ok = false;
    return result;
  }
  const auto size = static_cast<std::uint64_t>(st.st_size);
  const std::uint64_t n = buffers.size();
  std::vector<pass_result> parts(buffers.size());
  const auto start = std::chrono::steady_clock::now();
  {
    std::vector<std::jthread> pool;
    pool.reserve(buffers.size());
    for (std::uint64_t t = 0; t < n; ++t) {
      pool.emplace_back(
          [&, t] { parts[t] = pread_chunks(fd, size, buffers[t].get(), t, n, byte); });
    }
  }
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::close(fd);
  for (const pass_result& part : parts) {
    result.bytes += part.bytes;
    result.hits += part.hits;
    result.ok = result.ok && part.ok;
  }
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

unsigned cpus_available() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  const int n = CPU_COUNT(&set);
  return n > 0 ? static_cast<unsigned>(n) : 1;
}

int usage() {
  std::fputs(
      "usage: read_limit FILE [--runs N] [--byte HEX] [--threads N]...\n"
      "       read_limit FILE --rarest\n",
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
  std::vector<unsigned> thread_counts;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (arg == "--byte" && i + 1 < argc) {
      byte = static_cast<int>(std::strtol(argv[++i], nullptr, 16)) & 0xFF;
    } else if (arg == "--threads" && i + 1 < argc) {
      const int n = std::atoi(argv[++i]);
      if (n < 1 || n > 1024) return usage();
      thread_counts.push_back(static_cast<unsigned>(n));
    } else if (arg == "--rarest") {
      only_rarest = true;
    } else {
      return usage();
    }
  }
  if (runs < 1) return usage();
  if (thread_counts.empty()) thread_counts = {1, cpus_available()};
  std::sort(thread_counts.begin(), thread_counts.end());
  thread_counts.erase(std::unique(thread_counts.begin(), thread_counts.end()), thread_counts.end());

  std::vector<page_buffer> buffers;
  for (unsigned t = 0; t < thread_counts.back(); ++t) {
    buffers.push_back(page_aligned(k_large_block));
    if (!buffers.back()) {
      std::fputs("read_limit: out of memory\n", stderr);
      return 1;
    }
  }
  std::uint8_t* const buf = buffers.front().get();

  if (only_rarest || byte < 0) {
    std::uint64_t counts[256] = {};
    if (!count_bytes(path, buf, k_large_block, counts)) {
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
  if (!read_pass(path, buf, k_large_block, -1).ok) {
    std::fprintf(stderr, "read_limit: cannot read %s\n", path);
    return 1;
  }

  std::printf("read_limit %s, best of %d runs, page-aligned buffers, GB/s = 10^9 bytes/s\n", path,
              runs);
  // Runs `pass` `runs` times; the best rate, and the last run's counts.
  const auto best_of = [&](auto pass, pass_result& last) {
    double best = 0;
    for (int run = 0; run < runs; ++run) {
      last = pass();
      if (!last.ok) return -1.0;
      best = std::max(best, last.gbps());
    }
    return best;
  };
  const auto label = [](const char* call, int searched) {
    if (searched < 0) return std::string(call) + "()";
    char text[48];
    std::snprintf(text, sizeof text, "%s()+memchr(0x%02X)", call, static_cast<unsigned>(searched));
    return std::string(text);
  };

  double ceiling_1thread = 0;
  pass_result reference;  // read()+memchr in 1 MiB blocks: what every other pass must agree with
  for (const std::size_t block : {k_small_block, k_large_block}) {
    for (const int searched : {-1, byte}) {
      pass_result last;
      const double best = best_of([&] { return read_pass(path, buf, block, searched); }, last);
      if (best < 0) {
        std::fprintf(stderr, "read_limit: read of %s failed\n", path);
        return 1;
      }
      std::printf("  1 thread   %-22s block  %5zu KiB  %7.2f GB/s  (%llu bytes, %llu hits)\n",
                  label("read", searched).c_str(), block >> 10, best,
                  static_cast<unsigned long long>(last.bytes),
                  static_cast<unsigned long long>(last.hits));
      if (block == k_large_block && searched >= 0) {
        ceiling_1thread = best;
        reference = last;
      }
    }
  }

  double ceiling_nthread = 0;
  for (const unsigned threads : thread_counts) {
    const auto own = std::span<const page_buffer>(buffers).first(threads);
    for (const int searched : {-1, byte}) {
      pass_result last;
      const double best = best_of([&] { return pread_pass(path, own, searched); }, last);
      if (best < 0) {
        std::fprintf(stderr, "read_limit: pread of %s failed\n", path);
        return 1;
      }
      std::printf("  %2u thread%s %-22s chunks %5zu KiB  %7.2f GB/s  (%llu bytes, %llu hits)\n",
                  threads, threads == 1 ? " " : "s", label("pread", searched).c_str(),
                  k_large_block >> 10, best, static_cast<unsigned long long>(last.bytes),
                  static_cast<unsigned long long>(last.hits));
      // Every chunk read exactly once, and memchr saw the same bytes as the read() pass.
      if (last.bytes != reference.bytes || (searched >= 0 && last.hits != reference.hits)) {
        std::fprintf(
            stderr,
            "read_limit: %u threads read %llu bytes with %llu hits, read() %llu with %llu\n",
            threads, static_cast<unsigned long long>(last.bytes),
            static_cast<unsigned long long>(last.hits),
            static_cast<unsigned long long>(reference.bytes),
            static_cast<unsigned long long>(reference.hits));
        return 1;
      }
      if (searched >= 0 && threads == thread_counts.back()) ceiling_nthread = best;
    }
  }
  std::printf("ceiling_1thread_gbps %.3f\n", ceiling_1thread);
  std::printf("ceiling_nthread_gbps %u %.3f\n", thread_counts.back(), ceiling_nthread);
  return 0;
}
