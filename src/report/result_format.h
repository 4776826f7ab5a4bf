#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace bytrove {

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool valid_utf8(std::string_view text);

// The JSON member naming a file: "path":"<name>" with JSON escapes, or, for a name that is not
// UTF-8 (Linux names are any bytes), "path_base64":"<the bytes in base64>", which loses nothing.
std::string json_path_member(std::string_view name);

// Appends `bytes` in base64, with padding.
void append_base64(std::string& out, std::string_view bytes);

// Appends `text` (UTF-8) as a quoted JSON string.
void append_json_string(std::string& out, std::string_view text);

void append_decimal(std::string& out, std::uint64_t value);
// Lower-case hex pairs, no separators.
void append_hex_bytes(std::string& out, const std::uint8_t* bytes, std::size_t size);

// Dump rows of `size` bytes found at input offset `offset`: 16-byte rows aligned on input
// offsets, each "  <offset>: <16 hex pairs>  <ASCII>"; bytes outside the dump are blank, and
// the bytes in [mark_begin, mark_end) are bracketed in the hex column:
//   "  00000690: 00 00 00 00 00 00 00 00 00[7F 45 4C 46]02 01 01  .........ELF...."
// With `colour`, the marked bytes (hex and text column) are also set in k_colour_match.
void append_hex_dump(std::string& out, const std::uint8_t* bytes, std::size_t size,
                     std::uint64_t offset, std::uint64_t mark_begin, std::uint64_t mark_end,
                     bool colour = false);

// The terminal colours (SGR sequences) of --color: the occurrence's bytes in a dump, the
// numbers of a report line, and the reset after each.
inline constexpr std::string_view k_colour_match = "\x1b[01;31m";
inline constexpr std::string_view k_colour_offset = "\x1b[32m";
inline constexpr std::string_view k_colour_end = "\x1b[m";

// Colours the hex and the decimal offset of a report line ("offset 0x... (...) in ...") in
// place; the blanks, parentheses and name stay plain.
void colour_report_line(std::string& line);

}  // namespace bytrove
