// Fuzzes the pattern compiler and the plan builder, and the brace pattern parser and verifier.
//
// Input: bit 0 of the first byte turns ignore-case on; the remaining bytes, up to the first NUL
// (an argument cannot hold one), are the pattern argument. An argument whose first non-blank is
// '{' is a brace pattern: its error must name a column inside the text, and when it parses, the
// verifier's shortest match at each start of the bytes after the NUL must be the naive
// expand-and-compare matcher's (patterns with too many expansions are only verified). The outcome
// is compared with a small token-by-token reading of the pattern syntax, and the plan is checked
// against the meaning of each table rather than against the steps that build it: the byte skips
// from "rightmost place at or after the last wildcard", the shifts from "smallest move consistent
// with what the verification has seen". Any difference traps.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "../tests/naive_matcher.h"
#include "pattern/byte_frequency.h"
#include "pattern/compiled_pattern.h"
#include "pattern/extended_pattern.h"
#include "pattern/search_plan.h"
#include "scan/extended_verifier.h"

namespace bytrove {
namespace {

constexpr const char* k_bad_hex = "Hexadecimal pattern is not valid.\n";
constexpr const char* k_trailing_wildcard = "Trailing wildcard is not allowed.\n";

std::string printable(std::string_view text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      shown += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    }
  }
  return shown;
}

std::string_view g_text;  // the pattern under test, for failure messages

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_pattern: %s\n  pattern: \"%s\"\n", what, printable(g_text).c_str());
  __builtin_trap();
}

// --- Reference reading of the syntax -------------------------------------------------------

struct reference_position {
  int value;  // byte, or -1 for a wildcard
  bool folded;
};

struct reference_result {
  int exit_code = 0;
  std::vector<reference_position> positions;
};

bool is_hex(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hex_value(unsigned char c) {
  if (c <= '9') return c - '0';
  return (c | 0x20) - 'a' + 10;
}

// Reads whole tokens: a hex pair, a quoted run, a "?" or a blank. Text after the 256th position
// is never looked at, so nothing there can be an error.
reference_result reference_parse(std::string_view text, bool ignore_case) {
  reference_result r;
  if (text.empty()) {
    r.exit_code = 2;
    return r;
  }
  auto& pos = r.positions;
  std::size_t i = 0;
  while (i < text.size() && pos.size() < k_max_positions) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == ' ') {
      ++i;
    } else if (c == '?') {
      pos.push_back({-1, false});
      ++i;
    } else if (c == '\'' || c == '"') {
      std::size_t close = text.find(static_cast<char>(c), i + 1);
      if (close == std::string_view::npos) close = text.size();
      for (std::size_t k = i + 1; k < close && pos.size() < k_max_positions; ++k) {
        const auto b = static_cast<unsigned char>(text[k]);
        const bool letter = (b | 0x20) >= 'a' && (b | 0x20) <= 'z';
        if (ignore_case && letter) {
          pos.push_back({b | 0x20, true});
        } else {
          pos.push_back({b, false});
        }
      }
      i = close + 1;
    } else {
      if (!is_hex(c) || i + 1 >= text.size() || !is_hex(static_cast<unsigned char>(text[i + 1]))) {
        r.exit_code = 2;
        return r;
      }
      pos.push_back(
          {hex_value(c) * 16 + hex_value(static_cast<unsigned char>(text[i + 1])), false});
      i += 2;
    }
  }
  if (pos.empty() || pos.back().value < 0) r.exit_code = 4;
  return r;
}

// --- Plan checks ----------------------------------------------------------------------------

// The bytes a concrete position accepts: one, or the two cases of a folded letter.
struct byte_set {
  int a;
  int b;
  bool has(int x) const { return x == a || x == b; }
};

byte_set accepted(const compiled_pattern& p, int position) {
  const int v = p.value[position];
  return p.fold[position] == 1 ? byte_set{v, v & 0xDF} : byte_set{v, v};
}

bool intersects(byte_set x, byte_set y) { return x.has(y.a) || x.has(y.b); }
bool contains_all(byte_set outer, byte_set inner) {
  return outer.has(inner.a) && outer.has(inner.b);
}

void check_order(const compiled_pattern& p, const search_plan& plan, bool ignore_case) {
  const int m = p.length;
  const int n = p.concrete_count;
  check(plan.order[n - 1] == m - 1, "order[n-1] is not the last position");
  bool seen[k_max_positions] = {};
  for (int i = 0; i < n; ++i) {
    const int position = plan.order[i];
    check(position >= 0 && position < m, "order holds a position outside the pattern");
    check(p.value[position] != k_wildcard, "order holds a wildcard position");
    check(!seen[position], "order holds a position twice");
    seen[position] = true;
    check(plan.order_byte[i] == p.value[position], "order_byte differs from the position's value");
    check(plan.order_fold[i] == (ignore_case ? p.fold[position] : 0),
          "order_fold differs from the position's fold flag");
    check(plan.order_or[i] == (plan.order_fold[i] == 1 ? 0x20 : 0),
          "order_or disagrees with order_fold");
  }
  // Slots 0..n-2 hold the most common byte first; equal counts keep position order.
  auto key = [&](int position) {
    const int v = p.value[position];
    int count = byte_frequency[static_cast<std::size_t>(v)];
    if (ignore_case && v >= 'a' && v <= 'z')
      count += byte_frequency[static_cast<std::size_t>(v - 0x20)];
    return count;
  };
  for (int i = 1; i + 1 < n; ++i) {
    const int before = key(plan.order[i - 1]);
    const int here = key(plan.order[i]);
    check(before >= here, "verification order is not rarest-last in slots 0..n-2");
    check(before != here || plan.order[i - 1] < plan.order[i],
          "equal counts out of position order");
  }
}

void check_byte_shift(const compiled_pattern& p, const search_plan& plan) {
  const int m = p.length;
  const int w = p.wild_end;
  int expected[256];
  for (int& e : expected) e = m - w;
  for (int position = w; position < m; ++position) {
    const byte_set set = accepted(p, position);
    for (const int b : {set.a, set.b}) {
      if (m - 1 - position < expected[b]) expected[b] = m - 1 - position;
    }
  }
  const byte_set last = accepted(p, m - 1);
  for (int b = 0; b < 256; ++b) {
    check(plan.byte_shift[b] >= 0 && plan.byte_shift[b] <= m, "byte_shift outside 0..m");
    check((plan.byte_shift[b] == 0) == last.has(b),
          "byte_shift is 0 for a byte that cannot stand last, or not 0 for one that can");
    check(plan.byte_shift[b] == expected[b],
          "byte_shift is not the distance to the rightmost place");
  }
}

// The pattern moved right by s places position q = t - s over text position t. Knowing that
// the text at t was accepted (or rejected) by the slot there, the move is possible unless the
// moved pattern demands a byte the text cannot hold.
void check_shifts(const compiled_pattern& p, const search_plan& plan) {
  const int m = p.length;
  const int n = p.concrete_count;
  std::vector<int> expected(static_cast<std::size_t>(n), m);
  std::vector<bool> settled(static_cast<std::size_t>(n), false);
  int expected_match = m;
  for (int s = 1; s < m; ++s) {
    bool slots_above_fit = true;  // slots n-1 .. j+1 matched and the moved pattern allows it
    for (int j = n - 1; j >= 0 && slots_above_fit; --j) {
      const int t = plan.order[j];
      const int q = t - s;
      const bool free = q < 0 || p.value[q] == k_wildcard;
      const byte_set slot = accepted(p, t);
      const bool fits_match = free || intersects(accepted(p, q), slot);
      const bool fits_mismatch = free || !contains_all(slot, accepted(p, q));
      const auto k = static_cast<std::size_t>(j);
      if (fits_mismatch && !settled[k]) {
        settled[k] = true;
        expected[k] = s;
      }
      slots_above_fit = fits_match;
    }
    if (slots_above_fit && expected_match == m) expected_match = s;
  }
  for (int i = 0; i < n; ++i) {
    const int got = plan.mismatch_shift[i];
    check(got >= 1 && got <= m, "mismatch_shift outside 1..m");
    check(got <= expected[static_cast<std::size_t>(i)],
          "mismatch_shift skips a possible occurrence");
    check(got == expected[static_cast<std::size_t>(i)], "mismatch_shift is smaller than needed");
  }
  check(plan.match_shift >= 1 && plan.match_shift <= m, "match_shift outside 1..m");
  check(plan.match_shift <= expected_match, "match_shift skips an overlapping occurrence");
  check(plan.match_shift == expected_match, "match_shift is smaller than needed");
}

void check_compiled(const compiled_pattern& p, const reference_result& ref, bool ignore_case) {
  const int m = p.length;
  check(m >= 1 && m <= k_max_positions, "length outside 1..256");
  check(static_cast<std::size_t>(m) == ref.positions.size(), "length differs from the reference");
  int last_wildcard_end = 0;
  int n = 0;
  for (int i = 0; i < m; ++i) {
    const reference_position& want = ref.positions[static_cast<std::size_t>(i)];
    check(p.value[i] == want.value, "value differs from the reference");
    check(p.fold[i] == (want.folded ? 1 : 0), "fold differs from the reference");
    if (p.value[i] == k_wildcard) {
      check(p.fold[i] == 0, "a wildcard is folded");
      last_wildcard_end = i + 1;
      continue;
    }
    check(p.value[i] >= 0 && p.value[i] <= 255, "value outside 0..255");
    if (p.fold[i] == 1) {
      check(ignore_case, "folded position without ignore-case");
      check(p.value[i] >= 'a' && p.value[i] <= 'z', "folded position is not a lower-case letter");
    }
    check(n < p.concrete_count && p.concrete[n] == i,
          "concrete[] is not the non-wildcard positions");
    ++n;
  }
  check(p.concrete_count == n && n >= 1, "concrete_count wrong");
  check(p.wild_end == last_wildcard_end, "wild_end is not just past the last wildcard");
  check(p.wild_end < m, "wild_end is not below the length");
  check(p.value[m - 1] != k_wildcard, "last position is a wildcard");
}

void check_extended(std::string_view text, bool ignore_case, std::string_view data) {
  extended_pattern pattern;
  const status st = parse_extended_pattern(text, {ignore_case, false}, 0, pattern);
  if (!st.ok()) {
    const std::string& msg = st.message();
    constexpr std::string_view k_head = "Pattern is not valid at column ";
    check(st.exit_code() == 2 && msg.starts_with(k_head) && msg.ends_with(".\n"),
          "a brace pattern error is not exit code 2 with a column");
    const unsigned long column = std::strtoul(msg.c_str() + k_head.size(), nullptr, 10);
    check(column >= 1 && column <= text.size() + 1, "the error's column lies outside the text");
    return;
  }
  check(!pattern.items.empty() && pattern.min_length >= 1, "a brace pattern parsed empty");
  check(pattern.min_length <= pattern.max_length && pattern.max_length <= k_max_extended_span,
        "a brace pattern's lengths are out of bounds");
  check(pattern.items.front().type != extended_item::kind::jump &&
            pattern.items.back().type != extended_item::kind::jump,
        "a jump first or last was accepted");
  std::vector<naive_expansion> expansions;
  const bool small = naive_expand(pattern.items, 64, expansions);
  extended_verifier verifier;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
  std::vector<naive_hit> got;
  for (std::size_t s = 0; s < data.size(); ++s) {
    const std::uint32_t n = verifier.shortest(pattern, bytes, data.size(), s);
    check(n <= pattern.max_length && n <= data.size() - s, "a match longer than allowed");
    if (n != 0) got.push_back({s, n});
  }
  if (small) check(got == naive_find_all(expansions, data), "the verifier differs from naive");
  // Where the data stops short of a match, the verifier must say whether one could still come:
  // no expansion lies whole in the data there, but one runs past its end with its bytes so far.
  for (std::size_t s = 0; small && s < data.size(); ++s) {
    bool whole = false;
    bool runs_past = false;
    for (const naive_expansion& e : expansions) {
      const std::size_t have = std::min(e.size(), data.size() - s);
      bool fits = true;
      for (std::size_t k = 0; fits && k < have; ++k) fits = e[k]->has(bytes[s + k]);
      if (!fits) continue;
      (have == e.size() ? whole : runs_past) = true;
    }
    check(verifier.could_still_match(pattern, bytes, data.size(), s) == (!whole && runs_past),
          "the verifier's undecided start differs from naive");
  }
  compiled_pattern plain;
  if (small && extended_as_plain(pattern, plain)) {
    std::vector<naive_hit> as_plain;
    for (const std::uint64_t at : naive_find_all(plain, data)) {
      as_plain.push_back({at, static_cast<std::uint32_t>(plain.length)});
    }
    check(as_plain == got, "a brace pattern searched as a plain one finds other starts");
  }
}

}  // namespace
}  // namespace bytrove

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace bytrove;
  if (size == 0) return 0;
  const bool ignore_case = (data[0] & 1) != 0;
  const char* text_begin = reinterpret_cast<const char*>(data + 1);
  const std::string_view text(text_begin, strnlen(text_begin, size - 1));
  g_text = text;
  if (is_extended_pattern(text)) {
    const std::size_t rest = 1 + text.size() + 1;
    check_extended(text, ignore_case,
                   rest < size ? std::string_view(text_begin + text.size() + 1, size - rest)
                               : std::string_view());
    return 0;
  }

  const reference_result ref = reference_parse(text, ignore_case);
  compiled_pattern pattern;
  const status st = parse_pattern(text, ignore_case, pattern);
  check(st.exit_code() == ref.exit_code, "exit code differs from the reference");
  if (!st.ok()) {
    check(st.message() == (st.exit_code() == 2 ? k_bad_hex : k_trailing_wildcard),
          "wrong message for the exit code");
    return 0;
  }
  check(st.message().empty(), "a successful compile carries a message");
  check_compiled(pattern, ref, ignore_case);

  const search_plan plan = build_search_plan(pattern, ignore_case);
  check_order(pattern, plan, ignore_case);
  check_byte_shift(pattern, plan);
  check_shifts(pattern, plan);
  return 0;
}
