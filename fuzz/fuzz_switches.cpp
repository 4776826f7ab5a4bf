// Fuzzes the switch parser.
//
// Input: one or more switch texts (as they follow the leading "/" or "-") separated by NUL
// bytes, applied in turn to one run_settings, as the command line does; the first failure ends
// the run. After every text the settings and the outcome must equal those of a plain reading of
// the switch syntax, and the attribute mask may only ever hold the read-only, archive, hidden and
// system bits.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "cli/run_settings.h"
#include "cli/switches.h"

namespace bytrove {
namespace {

void check(bool ok, const char* what, std::string_view text) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_switches: %s\n  switch text (%zu bytes):", what, text.size());
  for (const char c : text) std::fprintf(stderr, " %02X", static_cast<unsigned char>(c));
  std::fprintf(stderr, "\n");
  __builtin_trap();
}

// Letters, each optionally followed by "+" or "-"; returns the index of the first character
// that is not a switch letter where one is expected, or npos when the whole text is good.
std::size_t reference_apply(std::string_view text, run_settings& s) {
  if (text.empty()) return 0;
  for (std::size_t i = 0; i < text.size();) {
    const char letter =
        static_cast<char>(text[i] >= 'A' && text[i] <= 'Z' ? text[i] + 32 : text[i]);
    if (std::string_view("hirsv").find(letter) == std::string_view::npos) return i;
    bool on = true;
    ++i;
    if (i < text.size() && text[i] == '-') {
      on = false;
      ++i;
    } else if (i < text.size() && text[i] == '+') {
      ++i;
    }
    const std::uint32_t bit = letter == 'h' ? k_attr_hidden : letter == 's' ? k_attr_system : 0;
    if (bit != 0) {
      s.attribute_mask = on ? s.attribute_mask | bit : s.attribute_mask & ~bit;
    } else {
      (letter == 'i' ? s.ignore_case : letter == 'r' ? s.recurse : s.verbose) = on;
    }
  }
  return std::string_view::npos;
}

}  // namespace
}  // namespace bytrove

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace bytrove;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  run_settings settings;
  run_settings expected;
  std::size_t start = 0;
  for (;;) {
    const std::size_t nul = input.find('\0', start);
    const std::string_view text =
        input.substr(start, nul == std::string_view::npos ? std::string_view::npos : nul - start);
    const status st = parse_switches(text, settings);
    const std::size_t bad = reference_apply(text, expected);

    constexpr std::uint32_t allowed =
        k_attr_read_only | k_attr_archive | k_attr_hidden | k_attr_system;
    check((settings.attribute_mask & ~allowed) == 0, "attribute mask holds a foreign bit", text);
    check((settings.attribute_mask & (k_attr_read_only | k_attr_archive)) ==
              (k_attr_read_only | k_attr_archive),
          "read-only or archive bit lost", text);
    check(settings.attribute_mask == expected.attribute_mask, "attribute mask differs", text);
    check(settings.ignore_case == expected.ignore_case, "ignore_case differs", text);
    check(settings.recurse == expected.recurse, "recurse differs", text);
    check(settings.verbose == expected.verbose, "verbose differs", text);
    check(!settings.progress, "a switch letter turned the progress line on", text);

    if (bad != std::string_view::npos) {
      check(!st.ok() && st.exit_code() == 3, "bad switch not reported with exit code 3", text);
      const std::string want = "Unknown option \"" + std::string(text.substr(bad)) + "\".\n";
      check(st.message() == want, "wrong unknown-option message", text);
      break;
    }
    check(st.ok() && st.message().empty(), "good switch text rejected", text);
    if (nul == std::string_view::npos) break;
    start = nul + 1;
  }
  return 0;
}
