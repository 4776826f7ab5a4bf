#include "pattern/extended_pattern.h"

#include <algorithm>
#include <bit>

#include "base/utf8.h"

namespace bytrove {
namespace {

bool is_blank(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; }

int hex_value(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

bool is_letter(unsigned b) { return (b | 0x20) >= 'a' && (b | 0x20) <= 'z'; }

extended_item byte_item(const byte_class& accepts) {
  extended_item item;
  item.accepts = accepts;
  return item;
}

extended_item single_byte(unsigned value, bool fold) {
  byte_class c;
  c.add(value);
  if (fold && is_letter(value)) c.add(value ^ 0x20);
  return byte_item(c);
}

// The lengths a sequence may take, its jumps' as they stand.
void measure(const std::vector<extended_item>& items, std::uint32_t& min, std::uint32_t& max) {
  std::uint64_t lo = 0;
  std::uint64_t hi = 0;
  for (const extended_item& item : items) {
    lo += item.min;
    hi += item.max;
  }
  min = static_cast<std::uint32_t>(std::min<std::uint64_t>(lo, ~std::uint32_t{0}));
  max = static_cast<std::uint32_t>(std::min<std::uint64_t>(hi, ~std::uint32_t{0}));
}

class parser {
 public:
  parser(std::string_view text, const pattern_syntax& syntax, std::size_t column_base,
         pattern_error* error)
      : text_(text), syntax_(syntax), column_base_(column_base), error_(error) {}

  status run(extended_pattern& out) {
    skip_blanks();
    ++pos_;  // the '{' that made this an extended pattern
    status s = sequence(out.items, 0);
    if (!s.ok()) return s;
    const std::size_t close = pos_;
    ++pos_;
    skip_blanks();
    if (pos_ < text_.size()) return fail(pos_, "text after \"}\"");
    if (out.items.empty()) return fail(close, "the pattern is empty");
    if (out.items.back().type == extended_item::kind::jump) {
      return fail(last_jump_, "a jump cannot be last");
    }
    return finish_lengths(out, close);
  }

 private:
  // The located error keeps a pointer to its reason, so it is given a literal.
  status fail(std::size_t at, std::string_view why, const char* located) const {
    if (error_ != nullptr) *error_ = pattern_error{at + column_base_, located};
    return status::error(k_exit_bad_hex, "Pattern is not valid at column " +
                                             std::to_string(at + 1 + column_base_) + ": " +
                                             std::string(why) + ".\n");
  }
  status fail(std::size_t at, const char* why) const { return fail(at, why, why); }

  void skip_blanks() {
    while (pos_ < text_.size() && is_blank(text_[pos_])) ++pos_;
  }

  bool count_item() { return ++items_ <= k_max_extended_items; }

  // Items up to the '}' (depth 0) or the '|' or ')' that ends a branch; pos_ is left on it.
  status sequence(std::vector<extended_item>& items, int depth) {
    for (;;) {
      skip_blanks();
      if (pos_ >= text_.size()) {
        return depth > 0 ? fail(open_.back(), "unbalanced \"(\"") : fail(pos_, "missing \"}\"");
      }
      const char ch = text_[pos_];
      if (ch == '}') return depth > 0 ? fail(open_.back(), "unbalanced \"(\"") : status{};
      if (ch == ')' || ch == '|') {
        if (depth > 0) return {};
        return fail(pos_, ch == ')' ? "unbalanced \")\"" : "\"|\" outside an alternative");
      }
      if (!count_item()) return fail(pos_, "more than 65536 items");
      status s = ch == '('                 ? choice(items, depth)
                 : ch == '['               ? jump(items, depth)
                 : ch == '\'' || ch == '"' ? string(items)
                                           : byte(items);
      if (!s.ok()) return s;
    }
  }

  status choice(std::vector<extended_item>& items, int depth) {
    if (depth + 1 > k_max_extended_depth) return fail(pos_, "alternatives nested too deep");
    open_.push_back(pos_);
    extended_item item;
    item.type = extended_item::kind::choice;
    item.min = ~std::uint32_t{0};
    item.max = 0;
    do {
      const std::size_t branch_at = ++pos_;
      std::vector<extended_item>& branch = item.branches.emplace_back();
      status s = sequence(branch, depth + 1);
      if (!s.ok()) return s;
      if (branch.empty()) return fail(branch_at, "empty alternative");
      std::uint32_t lo = 0;
      std::uint32_t hi = 0;
      measure(branch, lo, hi);
      item.min = std::min(item.min, lo);
      item.max = std::max(item.max, hi);
    } while (text_[pos_] == '|');
    ++pos_;  // the ')'
    open_.pop_back();
    items.push_back(std::move(item));
    return {};
  }

  // A decimal number at pos_, or false when there is none.
  bool number(std::uint32_t& value) {
    const std::size_t start = pos_;
    std::uint64_t v = 0;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      v = std::min<std::uint64_t>(v * 10 + static_cast<std::uint64_t>(text_[pos_] - '0'),
                                  std::uint64_t{1} << 40);
      ++pos_;
    }
    value = static_cast<std::uint32_t>(std::min<std::uint64_t>(v, k_max_extended_span + 1));
    return pos_ > start;
  }

  status jump(std::vector<extended_item>& items, int depth) {
    const std::size_t at = pos_;
    if (depth > 0) return fail(at, "a jump inside an alternative");
    if (items.empty()) return fail(at, "a jump cannot be first");
    ++pos_;
    skip_blanks();
    std::uint32_t lo = 0;
    std::uint32_t hi = 0;
    const bool has_lo = number(lo);
    skip_blanks();
    bool open = false;
    if (pos_ < text_.size() && text_[pos_] == '-') {
      ++pos_;
      skip_blanks();
      open = !number(hi);
      skip_blanks();
    } else if (!has_lo) {
      return fail(pos_, "a jump needs a length");
    } else {
      hi = lo;
    }
    if (pos_ >= text_.size() || text_[pos_] != ']') return fail(pos_, "a jump needs \"]\"");
    ++pos_;
    if (!open && hi < lo) return fail(at, "the jump's bounds are reversed");
    if (lo > k_max_extended_span || hi > k_max_extended_span) {
      return fail(at, "a jump longer than 65536 bytes");
    }
    last_jump_ = at;
    extended_item item;
    item.type = extended_item::kind::jump;
    item.min = lo;
    item.max = open ? k_open_jump : hi;
    if (items.back().type == extended_item::kind::jump) {  // [1][2] is [3]
      extended_item& prev = items.back();
      prev.min += item.min;
      prev.max = prev.max == k_open_jump || open ? k_open_jump : prev.max + item.max;
      return {};
    }
    items.push_back(item);
    return {};
  }

  status string(std::vector<extended_item>& items) {
    const std::size_t at = pos_;
    const char quote = text_[pos_++];
    const std::size_t end = text_.find(quote, pos_);
    if (end == std::string_view::npos) return fail(at, "unterminated string");
    if (end == pos_) return fail(at, "empty string");
    while (pos_ < end) {
      std::uint32_t cp = static_cast<unsigned char>(text_[pos_]);
      std::size_t n = 1;
      if (syntax_.utf16 && cp >= 0x80) {
        n = utf8_sequence(text_, pos_, cp);
        if (n == 0 || pos_ + n > end) {
          cp = static_cast<unsigned char>(text_[pos_]);
          n = 1;
        }
      }
      pos_ += n;
      if (!syntax_.utf16) {
        items.push_back(single_byte(cp, syntax_.ignore_case));
      } else if (cp < 0x10000) {
        add_unit(items, cp);
      } else {
        add_unit(items, 0xD800 + ((cp - 0x10000) >> 10));
        add_unit(items, 0xDC00 + ((cp - 0x10000) & 0x3FF));
      }
      if (items_ + items.size() > k_max_extended_items) return fail(at, "more than 65536 items");
    }
    ++pos_;
    return {};
  }

  void add_unit(std::vector<extended_item>& items, std::uint32_t unit) {
    items.push_back(single_byte(unit & 0xFF, syntax_.ignore_case && unit < 0x80));
    items.push_back(single_byte(unit >> 8, false));
  }

  // XX, X?, ?X, ?? or any of those but ?? after '~'.
  status byte(std::vector<extended_item>& items) {
    const std::size_t at = pos_;
    const bool negated = text_[pos_] == '~';
    if (negated) ++pos_;
    const auto digit = [&](std::size_t i) {
      return i < text_.size() && (text_[i] == '?' || hex_value(text_[i]) >= 0);
    };
    if (!digit(pos_)) {
      if (negated) return fail(pos_, "\"~\" needs a byte");
      if (pos_ < text_.size() && static_cast<unsigned char>(text_[pos_]) >= 0x20 &&
          static_cast<unsigned char>(text_[pos_]) < 0x7F) {
        return fail(at, std::string("unexpected \"") + text_[pos_] + "\"", "unexpected character");
      }
      return fail(at, "unexpected character");
    }
    if (!digit(pos_ + 1)) return fail(at, "a byte needs two digits");
    const int high = text_[pos_] == '?' ? -1 : hex_value(text_[pos_]);
    const int low = text_[pos_ + 1] == '?' ? -1 : hex_value(text_[pos_ + 1]);
    if (negated && high < 0 && low < 0) return fail(at, "\"~??\" matches nothing");
    pos_ += 2;
    byte_class c;
    for (unsigned v = 0; v < 256; ++v) {
      const bool in = (high < 0 || static_cast<int>(v >> 4) == high) &&
                      (low < 0 || static_cast<int>(v & 15) == low);
      if (in != negated) c.add(v);
    }
    items.push_back(byte_item(c));
    return {};
  }

  // Gives open jumps what the span bound leaves, and checks the bound.
  status finish_lengths(extended_pattern& out, std::size_t close) {
    std::uint64_t fixed_max = 0;
    bool any_open = false;
    for (extended_item& item : out.items) {
      if (item.max == k_open_jump) {
        any_open = true;
        fixed_max += item.min;
      } else {
        fixed_max += item.max;
      }
    }
    if (fixed_max > k_max_extended_span) {
      return fail(close, "the pattern spans more than 65536 bytes");
    }
    const auto slack = static_cast<std::uint32_t>(k_max_extended_span - fixed_max);
    for (extended_item& item : out.items) {
      if (item.max == k_open_jump) item.max = item.min + slack;
    }
    measure(out.items, out.min_length, out.max_length);
    if (any_open) out.max_length = std::min(out.max_length, k_max_extended_span);
    return {};
  }

  static constexpr std::uint32_t k_open_jump = ~std::uint32_t{0};

  std::string_view text_;
  const pattern_syntax& syntax_;
  std::size_t column_base_;
  pattern_error* error_;
  std::size_t pos_ = 0;
  std::size_t items_ = 0;
  std::size_t last_jump_ = 0;
  std::vector<std::size_t> open_;  // where the open '('s are
};

bool sequence_in_zeros(const std::vector<extended_item>& items) {
  return std::all_of(items.begin(), items.end(), [](const extended_item& item) {
    switch (item.type) {
      case extended_item::kind::bytes:
        return item.accepts.has(0);
      case extended_item::kind::jump:
        return true;
      case extended_item::kind::choice:
        return std::any_of(item.branches.begin(), item.branches.end(), sequence_in_zeros);
    }
    return true;
  });
}

}  // namespace

int byte_class::count() const {
  int n = 0;
  for (const std::uint64_t w : bits) n += std::popcount(w);
  return n;
}

bool is_extended_pattern(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  return first != std::string_view::npos && text[first] == '{';
}

status parse_extended_pattern(std::string_view text, const pattern_syntax& syntax,
                              std::size_t column_base, extended_pattern& out,
                              pattern_error* error) {
  out = extended_pattern{};
  const std::size_t first = text.find_first_not_of(" \t");
  const std::size_t last = text.find_last_not_of(" \t");
  out.text = std::string(text.substr(first, last + 1 - first));
  return parser(text, syntax, column_base, error).run(out);
}

bool extended_matches_in_zeros(const extended_pattern& pattern) {
  return sequence_in_zeros(pattern.items);
}

bool extended_as_plain(const extended_pattern& pattern, compiled_pattern& out) {
  if (pattern.items.size() > static_cast<std::size_t>(k_max_positions)) return false;
  out = compiled_pattern{};
  for (const extended_item& item : pattern.items) {
    if (item.type != extended_item::kind::bytes) return false;
    const int n = item.accepts.count();
    const auto position = out.length;
    if (n == 256) {
      out.value[position] = k_wildcard;
      out.wild_end = position + 1;
    } else {
      unsigned v = 0;
      while (!item.accepts.has(v)) ++v;
      const bool fold = n == 2 && is_letter(v) && item.accepts.has(v | 0x20);
      if (n != 1 && !fold) return false;
      out.value[position] = static_cast<std::int16_t>(fold ? (v | 0x20) : v);
      out.fold[position] = fold ? 1 : 0;
      out.concrete[out.concrete_count++] = position;
    }
    ++out.length;
  }
  return out.length > out.wild_end;
}

}  // namespace bytrove
