// Fuzzes the search of a pattern set through the whole program, at several thread counts with
// small chunks, against the merge of a naive search of each member (by offset, then set order).
//
// Input layout:
//   byte 0   flags: bit 0 ignore-case; bits 1-2 threads - 1; bit 3 --json; bits 4-7 chunk
//            size selector
//   byte 1   members - 1 (1 to 32); from 0xC0 each member is then added again with one more
//            byte (00 to 3F) until there are about 400, past the bucket filter's size, so
//            that the hashed tables are searched too
//   byte 2   the byte value that means "wildcard" in a member (never at its last position)
//   then     per member: its length L (1 to 40), then L position bytes
//   then     the data, repeated to a few times its size when short, so hits cross chunks.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../tests/naive_matcher.h"
#include "base/output.h"
#include "cli/run.h"
#include "pattern/compiled_pattern.h"
#include "walk/file_system.h"

namespace {

using namespace bytrove;

int memfd_holding(const std::string& name, const std::string& bytes) {
  const int fd = ::memfd_create(name.c_str(), MFD_CLOEXEC);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    std::abort();
  }
  return fd;
}

[[noreturn]] void fail(const std::string& what, const std::string& set_text) {
  std::fprintf(stderr, "fuzz_sets: %s\nset:\n%s", what.c_str(), set_text.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::signal(SIGPIPE, SIG_IGN);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 4) return 0;
  const std::uint8_t flags = bytes[0];
  const bool ignore_case = (flags & 1) != 0;
  const std::size_t members = 1 + bytes[1] % 32;
  const std::uint8_t wild = bytes[2];
  std::size_t at = 3;
  std::string set_text;
  std::vector<compiled_pattern> patterns;
  std::vector<std::string> names;
  for (std::size_t i = 0; i < members && at < size; ++i) {
    const std::size_t wanted = 1 + bytes[at] % 40;
    ++at;
    const std::size_t m = std::min(wanted, size - at);
    if (m == 0) break;
    names.push_back("m" + std::to_string(i));
    std::string text = names.back() + " =";
    for (std::size_t k = 0; k < m; ++k) {
      const std::uint8_t b = bytes[at + k];
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02X", b);
      // A letter written as a string folds under -i; a wildcard never stands last.
      if (b == wild && k + 1 < m) {
        text += " ?";
      } else if (ignore_case && ((b | 0x20) >= 'a' && (b | 0x20) <= 'z')) {
        text += std::string(" '") + static_cast<char>(b) + "'";
      } else {
        text += hex;
      }
    }
    at += m;
    compiled_pattern& p = patterns.emplace_back();
    if (!parse_pattern(text.substr(text.find('=') + 1), ignore_case, p).ok()) {
      fail("a member did not compile: " + text, set_text);
    }
    set_text += text + "\n";
  }
  if (patterns.empty()) return 0;
  const std::size_t written = patterns.size();
  std::vector<std::string> bodies;
  for (std::size_t line = 0, from = 0; line < written; ++line) {
    const std::size_t end = set_text.find('\n', from);
    bodies.push_back(
        set_text.substr(set_text.find('=', from) + 1, end - set_text.find('=', from) - 1));
    from = end + 1;
  }
  for (unsigned extra = 0; bytes[1] >= 0xC0 && patterns.size() < 400; ++extra) {
    for (std::size_t i = 0; i < written && patterns.size() < 400; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02X", extra % 64);
      const std::string body = bodies[i] + hex;
      compiled_pattern& p = patterns.emplace_back();
      if (!parse_pattern(body, ignore_case, p).ok())
        fail("a member did not compile: " + body, set_text);
      names.push_back("x" + std::to_string(patterns.size()));
      set_text += names.back() + " =" + body + "\n";
    }
  }
  std::string data(reinterpret_cast<const char*>(bytes + at), size - at);
  while (!data.empty() && data.size() < 5000) data += data;

  const int set_fd = memfd_holding("set", set_text);
  const int data_fd = memfd_holding("data", data);
  const std::string path = "/proc/self/fd/" + std::to_string(data_fd);
  const bool json = (flags & 8) != 0;
  std::vector<std::string> args{"bytrove", "--threads", std::to_string(1 + (flags >> 1) % 4),
                                "--patterns=/proc/self/fd/" + std::to_string(set_fd)};
  if (ignore_case) args.push_back("-i");
  if (json) args.push_back("--json");
  args.insert(args.end(), {"--", path});
  std::string out_text;
  std::string err_text;
  int code = 0;
  {
    output out(&out_text);
    output err(&err_text);
    posix_file_system fs;
    io_context io{out, err, -1, fs};
    io.chunk_size = 1 + (flags >> 4) * 613;
    code = run(args, io);
  }
  ::close(set_fd);
  ::close(data_fd);
  if (code != 0 || !err_text.empty()) {
    fail("exit code " + std::to_string(code) + ", standard error: " + err_text, set_text);
  }

  std::string want = json ? "" : k_banner;
  for (std::size_t s = 0; s < data.size(); ++s) {
    for (std::size_t i = 0; i < patterns.size(); ++i) {
      if (!naive_matches_at(patterns[i], data, s)) continue;
      const std::string& name = names[i];
      if (json) {
        want += "{\"type\":\"match\",\"path\":\"" + path + "\",\"offset\":" + std::to_string(s) +
                ",\"pattern\":\"" + name + "\"}\n";
      } else {
        char line[160];
        const std::string label = "(" + std::to_string(s);
        std::snprintf(line, sizeof line, "offset 0x%08llX%11s) in %s [%s]\n",
                      static_cast<unsigned long long>(s), label.c_str(), path.c_str(),
                      name.c_str());
        want += line;
      }
    }
  }
  if (out_text != want) {
    const auto diff = std::mismatch(out_text.begin(), out_text.end(), want.begin(), want.end());
    const auto from = static_cast<std::size_t>(diff.first - out_text.begin());
    fail("output differs at byte " + std::to_string(from) +
             ":\n got: " + out_text.substr(from, 120) + "\nwant: " + want.substr(from, 120),
         set_text);
  }
  return 0;
}
