#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "pattern/compiled_pattern.h"
#include "pattern/extended_pattern.h"

namespace bytrove {

// One pattern of a set file: its name and where its positions lie in the set's tables. A
// member costs its name, these few bytes and two bytes a position: sets of hundreds of
// thousands of members keep no per-member plan.
struct set_member {
  std::string name;
  std::uint32_t first = 0;    // its positions are values/masks[first, first + length)
  std::int16_t length = 0;    // m
  std::int16_t wild_end = 0;  // index just past the last wildcard; 0 if none
  // A brace pattern (then first/length/wild_end are unused: it has no packed positions).
  std::shared_ptr<const extended_pattern> extended;
};

struct pattern_set {
  std::vector<set_member> members;  // in file order: the order hits at one offset are reported
  // Every member's positions, one member after another. Byte x stands at position k when
  // (x & masks[k]) == values[k]: mask 0xFF for a byte, 0xDF for a letter compared regardless
  // of case (its value in upper case), 0 for a wildcard (value 0).
  std::vector<std::uint8_t> values;
  std::vector<std::uint8_t> masks;
  int max_length = 0;         // the longest member's m (a brace member's span)
  bool any_extended = false;  // some member is a brace pattern
  // "<file>:<line>: Pattern has more than 256 positions; ..." for each member cut short.
  std::string warnings;

  // Appends a member compiled by parse_pattern.
  void add(std::string name, const compiled_pattern& pattern);
  // Appends a brace member.
  void add(std::string name, std::shared_ptr<const extended_pattern> pattern);
  // Member i as parse_pattern compiled it (without `truncated`).
  compiled_pattern pattern(std::size_t i) const;
  // Whether some occurrence of member i (a plain one) may lie within a run of 00 bytes.
  bool matches_in_zeros(std::size_t i) const;
};

// The largest set file read (16 MiB, some 500,000 short patterns): a larger one, or a stream
// that goes on past it, is refused rather than read into memory without end.
inline constexpr std::size_t k_max_set_file_bytes = std::size_t{16} << 20;

// Parses the text of a set file named `file_name` (as the user wrote it). The format, line by
// line:
//   - a UTF-8 byte order mark at the start of the text is skipped;
//   - a blank line (spaces and tabs only) or one whose first non-blank is '#' is ignored;
//   - otherwise the line is `PATTERN` or `NAME = PATTERN`, PATTERN in exactly the command-line
//     syntax (a brace pattern when its first non-blank is '{'). The first '=' outside quotes ends
//     the name; a '#' outside quotes starts a comment that runs to the end of the line. Spaces and
//     tabs around the name and the pattern are dropped, and so is a '\r' before the line end.
//   - a name is one or more of A-Z a-z 0-9 _ . + - (so it never needs quoting in the output);
//     names need not be unique. An unnamed pattern is named by its 1-based line number.
// Every byte of a line counts: a NUL byte anywhere, or a quote left open at the end of the
// line, is an error. An error reads "<file>:<line>:<column>: <reason>: <the line>\n" (the
// column counts bytes from 1; control bytes of the line are shown as \xNN) and keeps the exit
// code the command line gives that kind of error: 4 for a pattern that ends in a wildcard or
// has no positions, 2 for everything else (hex digits, empty pattern, name, NUL, quote). A set
// without any pattern is a usage error (exit code 1), "<file>: the pattern set is empty.\n".
status parse_pattern_set(std::string_view text, std::string_view file_name,
                         const pattern_syntax& syntax, pattern_set& out);
inline status parse_pattern_set(std::string_view text, std::string_view file_name, bool ignore_case,
                                pattern_set& out) {
  return parse_pattern_set(text, file_name, pattern_syntax{ignore_case, false}, out);
}

}  // namespace bytrove
