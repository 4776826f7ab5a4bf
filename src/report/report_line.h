#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bytrove {

// Longest line without the name: "offset 0x" + 16 hex digits + " (" and 20 digits + ") in "
// + "\n".
inline constexpr std::size_t k_report_line_fixed_max = 9 + 16 + 22 + 5 + 1;

// Formats one occurrence line into `out` (room for k_report_line_fixed_max + name.size()) and
// returns its length. Below 4 GiB byte-identical to printf("offset 0x%08lX%11s) in %s\n",
// offset, "(<decimal offset>", name); from 4 GiB on the hex field grows past 8 digits and one
// blank separates it from "(<decimal offset>": "offset 0x140000003 (5368709123) in f".
std::size_t format_report_line(char* out, std::uint64_t offset, std::string_view name);

// The same lines for one input, with the name part prepared once: dense outputs print hundreds
// of millions of lines, so the per-line work is only the two numbers.
class report_line_format {
 public:
  report_line_format() = default;
  explicit report_line_format(std::string_view name) { set_name(name); }
  // Prepares the lines for another input; reuses the storage, so no allocation once it has
  // grown to the longest name.
  void set_name(std::string_view name);
  std::size_t max_size() const { return k_report_line_fixed_max + suffix_.size(); }
  // Writes the line for `offset` at `out` (room for max_size()) and returns its length.
  std::size_t write(char* out, std::uint64_t offset) const;

 private:
  std::string suffix_;  // ") in <name>\n"
};

// Writes the line of each of `count` occurrences at `base` + starts[i] to `sink`, which offers
// reserve(n) (room for n <= sink_type::k_capacity bytes), commit(k) and write(text).
template <class sink_type>
void write_report_lines(sink_type& sink, const report_line_format& line,
                        const std::uint32_t* starts, std::size_t count, std::uint64_t base) {
  const std::size_t room = line.max_size();
  if (room <= sink_type::k_capacity) {
    for (std::size_t i = 0; i < count; ++i) {
      sink.commit(line.write(sink.reserve(room), base + starts[i]));
    }
    return;
  }
  std::string text(room, '\0');  // a name longer than the buffer: each line on its own
  for (std::size_t i = 0; i < count; ++i) {
    sink.write(std::string_view(text.data(), line.write(text.data(), base + starts[i])));
  }
}

}  // namespace bytrove
