// A Hyperscan (vectorscan) scanner to compare the set matcher with: compiles one regex a line
// (the \xHH escapes compare.sh writes) as one database in streaming mode, reads FILE 1 MiB at
// a time and counts every match. With --threads N the file is cut into N ranges, each streamed
// by its own thread from max_length - 1 bytes before its start, so that a match ending in a
// range is counted by that range's thread alone.
//
//   hs_scan PATTERNS FILE [--threads N] [--max-length M]
//
// Prints "compile_ms X", "matches N" and "scan_ms X" to standard output. Bench only: the
// product never links Hyperscan.
#include <fcntl.h>
#include <hs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t k_read = std::size_t{1} << 20;

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "hs_scan: %s\n", message.c_str());
  std::exit(1);
}

struct range_job {
  const hs_database_t* database;
  int fd;
  std::uint64_t begin;       // bytes read from here...
  std::uint64_t count_from;  // ...matches counted when they end past here
  std::uint64_t end;
  std::uint64_t matches = 0;
};

int on_match(unsigned int, unsigned long long, unsigned long long to, unsigned int, void* ctx) {
  auto* job = static_cast<range_job*>(ctx);
  if (job->begin + to > job->count_from) ++job->matches;
  return 0;
}

void scan_range(range_job& job) {
  hs_scratch_t* scratch = nullptr;
  hs_stream_t* stream = nullptr;
  if (hs_alloc_scratch(job.database, &scratch) != HS_SUCCESS) die("hs_alloc_scratch failed");
  if (hs_open_stream(job.database, 0, &stream) != HS_SUCCESS) die("hs_open_stream failed");
  std::vector<char> buffer(k_read);
  for (std::uint64_t at = job.begin; at < job.end;) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(k_read, job.end - at));
    const ssize_t n = ::pread(job.fd, buffer.data(), want, static_cast<off_t>(at));
    if (n <= 0) die("read failed");
    if (hs_scan_stream(stream, buffer.data(), static_cast<unsigned>(n), 0, scratch, on_match,
                       &job) != HS_SUCCESS) {
      die("hs_scan_stream failed");
    }
    at += static_cast<std::uint64_t>(n);
  }
  hs_close_stream(stream, scratch, on_match, &job);
  hs_free_scratch(scratch);
}

double ms_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) die("usage: hs_scan PATTERNS FILE [--threads N] [--max-length M]");
  unsigned threads = 1;
  std::uint64_t max_length = 256;
  for (int a = 3; a + 1 < argc; a += 2) {
    const std::string option = argv[a];
    if (option == "--threads") threads = static_cast<unsigned>(std::atoi(argv[a + 1]));
    if (option == "--max-length") max_length = std::strtoull(argv[a + 1], nullptr, 10);
  }
  if (threads == 0) threads = 1;
  std::ifstream lines(argv[1]);
  std::vector<std::string> patterns;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) patterns.push_back(line);
  }
  if (patterns.empty()) die("no patterns");
  std::vector<const char*> expressions;
  std::vector<unsigned> flags(patterns.size(), HS_FLAG_DOTALL);
  std::vector<unsigned> ids;
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    expressions.push_back(patterns[i].c_str());
    ids.push_back(static_cast<unsigned>(i));
  }
  const auto compile_start = std::chrono::steady_clock::now();
  hs_database_t* database = nullptr;
  hs_compile_error_t* error = nullptr;
  if (hs_compile_multi(expressions.data(), flags.data(), ids.data(),
                       static_cast<unsigned>(expressions.size()), HS_MODE_STREAM, nullptr,
                       &database, &error) != HS_SUCCESS) {
    die(std::string("compile: ") + (error != nullptr ? error->message : "failed"));
  }
  std::printf("compile_ms %.1f\n", ms_since(compile_start));

  const int fd = ::open(argv[2], O_RDONLY);
  if (fd < 0) die(std::string("cannot open ") + argv[2]);
  const auto size = static_cast<std::uint64_t>(::lseek(fd, 0, SEEK_END));
  const auto scan_start = std::chrono::steady_clock::now();
  std::vector<range_job> jobs;
  for (unsigned t = 0; t < threads; ++t) {
    const std::uint64_t from = size * t / threads;
    const std::uint64_t to = size * (t + 1) / threads;
    const std::uint64_t back = std::min<std::uint64_t>(from, max_length - 1);
    jobs.push_back({database, fd, from - back, from, to});
  }
  std::vector<std::thread> workers;
  for (unsigned t = 1; t < threads; ++t) workers.emplace_back(scan_range, std::ref(jobs[t]));
  scan_range(jobs[0]);
  for (std::thread& worker : workers) worker.join();
  std::uint64_t matches = 0;
  for (const range_job& job : jobs) matches += job.matches;
  std::printf("matches %llu\nscan_ms %.1f\n", static_cast<unsigned long long>(matches),
              ms_since(scan_start));
  hs_free_database(database);
  ::close(fd);
  return 0;
}
