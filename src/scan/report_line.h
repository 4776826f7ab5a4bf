#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace bytrove {

// Longest line without the name: "offset 0x" + 16 hex digits + "(" and 20 digits + ") in " + "\n".
inline constexpr std::size_t k_report_line_fixed_max = 9 + 16 + 21 + 5 + 1;

// Formats one occurrence line into `out` (room for k_report_line_fixed_max + name.size()) and
// returns its length. Byte-identical to printf("offset 0x%08lX%11s) in %s\n", offset,
// "(<decimal offset>", name) for any 64-bit offset; the hex field grows past 8 digits above
// 4 GiB.
std::size_t format_report_line(char* out, std::uint64_t offset, std::string_view name);

}  // namespace bytrove
