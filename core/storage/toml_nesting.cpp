#include "core/storage/toml_nesting.hpp"

#include <vector>

namespace vorpel {

bool is_toml_bare_key_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

TomlStringEnd toml_string_end(std::string_view s, std::size_t start) {
  const char quote = s[start];
  const auto triple = [&](std::size_t i) {
    return i + 3 <= s.size() && s[i] == quote && s[i + 1] == quote && s[i + 2] == quote;
  };
  std::size_t i = start;
  if (triple(i)) {
    i += 3;
    while (i < s.size()) {
      if (quote == '"' && s[i] == '\\') {
        i += 2;
      } else if (triple(i)) {
        // up to two quotes of the content may touch the closing delimiter
        for (int k = 0; k < 5 && i < s.size() && s[i] == quote; ++k) ++i;
        return {i, true};
      } else {
        ++i;
      }
    }
    return {s.size(), false};  // an escape may have stepped past the end
  }
  ++i;
  while (i < s.size() && s[i] != quote && s[i] != '\n') {
    // an escaped line break is no escape: the string ends unclosed there
    i += quote == '"' && s[i] == '\\' && i + 1 < s.size() && s[i + 1] != '\n' ? 2 : 1;
  }
  if (i < s.size() && s[i] == quote) return {i + 1, true};
  return {i, false};
}

namespace {

class NestingScan {
 public:
  NestingScan(std::string_view text, std::size_t limit) : s_(text), limit_(limit) {}

  std::optional<TomlScanFault> run() {
    bool statement_start = true;  // at the start of a line of the top-level table
    while (i_ < s_.size() && !found_) {
      const char c = s_[i_];
      if (c == ' ' || c == '\t' || c == '\r') {
        if (c != ' ' || !date_goes_on()) token_ = kNone;
        ++i_;
      } else if (c == '#') {
        token_ = kNone;
        skip_comment();
      } else if (c == '\n') {
        token_ = kNone;
        ++i_;
        if (open_.empty()) statement_start = true;
      } else if (statement_start && c == '[') {
        header();
        statement_start = false;
      } else if (expects_key(statement_start) && (is_toml_bare_key_char(c) || c == '"' || c == '\'')) {
        key(open_.empty() ? table_depth_ : open_.back().depth);
        statement_start = false;
      } else {
        statement_start = false;
        value_char(c);
      }
    }
    return found_;
  }

 private:
  struct Open {
    char close;
    std::size_t depth;  // depth of the array or inline table itself
    bool key_next;      // inline table: a key comes next
  };

  bool expects_key(bool statement_start) const {
    return open_.empty() ? statement_start : open_.back().close == '}' && open_.back().key_next;
  }

  void exceed(std::size_t start, std::size_t end) {
    if (!found_) found_ = TomlScanFault{TomlScanFault::Kind::Nesting, start, end > start ? end - start : 1};
  }

  // Every byte outside strings and comments that is not consumed as a
  // blank, a line break or part of a key passes here.
  static bool stray(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 0x80 || u == 0x7F || (u < 0x20 && c != '\t' && c != '\n' && c != '\r');
  }

  // A lead byte takes the continuation bytes that follow it (at most 3).
  std::size_t character_length(std::size_t at) const {
    std::size_t length = 1;
    if (static_cast<unsigned char>(s_[at]) >= 0xC0) {
      while (length < 4 && at + length < s_.size() && (static_cast<unsigned char>(s_[at + length]) & 0xC0) == 0x80) {
        ++length;
      }
    }
    return length;
  }

  void stray_character() { found_ = TomlScanFault{TomlScanFault::Kind::StrayCharacter, i_, character_length(i_)}; }

  void skip_comment() {
    while (i_ < s_.size() && s_[i_] != '\n') ++i_;
  }

  void skip_blanks() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t')) ++i_;
  }

  // Any string form, from its opening quote past its closing one (or to the
  // end of the line or text where it is not closed).
  void skip_string() {
    const std::size_t end = toml_string_end(s_, i_).offset;
    if (s_.substr(i_, 3) == "\"\"\"") {
      if (const auto at = after_backslash_hazard(i_ + 3, end)) {
        found_ = TomlScanFault{TomlScanFault::Kind::AfterBackslash, *at, character_length(*at)};
      }
    }
    i_ = end;
  }

  // In a multi-line basic string the parser asks whether the character
  // after a backslash, and the first one after the blanks and line breaks
  // that a line-ending backslash trims, is white space, and reaches the same
  // unreachable branch for non-ASCII text there. Such a character is an
  // invalid escape or the first one kept after a line-ending backslash.
  std::optional<std::size_t> after_backslash_hazard(std::size_t from, std::size_t end) const {
    const auto non_ascii = [&](std::size_t j) { return j < end && static_cast<unsigned char>(s_[j]) >= 0x80; };
    const auto skip = [&](std::size_t j, bool line_breaks) {
      while (j < end && (s_[j] == ' ' || s_[j] == '\t' || (line_breaks && (s_[j] == '\n' || s_[j] == '\r')))) ++j;
      return j;
    };
    for (std::size_t i = from; i + 1 < end; ++i) {
      if (s_[i] != '\\') continue;
      std::size_t j = i + 1;
      if (non_ascii(j)) return j;
      if (s_[j] == ' ' || s_[j] == '\t' || s_[j] == '\n' || s_[j] == '\r') {
        j = skip(j, false);
        if (non_ascii(j)) return j;
        j = skip(j, true);
        if (non_ascii(j)) return j;
        i = j - 1;
      } else {
        i = j;  // an escaped character, a backslash included
      }
    }
    return std::nullopt;
  }

  // A dotted key whose first part lies at depth `base` + 1; returns the
  // depth of the last part.
  std::size_t key(std::size_t base) {
    std::size_t depth = base;
    while (i_ < s_.size() && !found_) {
      const std::size_t start = i_;
      if (s_[i_] == '"' || s_[i_] == '\'') {
        skip_string();
      } else {
        while (i_ < s_.size() && is_toml_bare_key_char(s_[i_])) ++i_;
      }
      if (i_ == start) break;
      if (++depth > limit_) exceed(start, i_);
      skip_blanks();
      if (i_ >= s_.size() || s_[i_] != '.') break;
      ++i_;
      skip_blanks();
    }
    value_depth_ = depth;
    if (!open_.empty()) open_.back().key_next = false;
    return depth;
  }

  void header() {
    ++i_;
    const bool array = i_ < s_.size() && s_[i_] == '[';
    if (array) ++i_;
    skip_blanks();
    // An array of tables adds the level of the element table.
    table_depth_ = key(0) + (array ? 1 : 0);
    if (array && table_depth_ > limit_) exceed(i_, i_ + 1);
    value_depth_ = table_depth_;
  }

  void open(char close) {
    // An array's elements lie one level below it; a key's value at the key.
    const std::size_t depth = !open_.empty() && open_.back().close == ']' ? open_.back().depth + 1 : value_depth_;
    if (depth > limit_) return exceed(i_, i_ + 1);
    open_.push_back(Open{close, depth, close == '}'});
    ++i_;
  }

  // Whether a string, an array or an inline table can begin at `i_`. The
  // parser reads a bare value (a number, a date, true) on to the next blank,
  // comma, closing bracket or comment, whatever it holds, so a quote or
  // bracket glued to it (as in 9n["x") opens nothing; nor does one glued to
  // a key.
  bool value_may_start() const {
    if (token_ != kNone) return false;
    if (i_ == 0) return true;
    const char p = s_[i_ - 1];
    return p == ' ' || p == '\t' || p == '\n' || p == '\r' || p == '=' || p == '[' || p == '{' || p == ',';
  }

  // A date followed by one blank may go on with a time ("1979-05-27
  // 07:32:00"): the parser reads past the blank.
  bool date_goes_on() const {
    if (token_ == kNone) return false;
    const std::string_view t = s_.substr(token_, i_ - token_);
    return t.find('-') != std::string_view::npos &&
           t.find_first_not_of("0123456789-_") == std::string_view::npos;
  }

  void value_char(char c) {
    if (stray(c)) return stray_character();
    const bool opens = value_may_start();
    if (opens && (c == '"' || c == '\'')) return skip_string();
    if (opens && c == '[') return open(']');
    if (opens && c == '{') return open('}');
    if (c == ']' || c == '}' || c == ',') {
      token_ = kNone;
      if (!open_.empty() && c == open_.back().close) {
        open_.pop_back();
      } else if (c == ',' && !open_.empty() && open_.back().close == '}') {
        open_.back().key_next = true;
      }
    } else if (token_ == kNone && c != '=') {
      token_ = i_;
    }
    ++i_;
  }

  std::string_view s_;
  std::size_t limit_;
  std::size_t i_ = 0;
  std::size_t table_depth_ = 0;  // of the table the last header opened
  std::size_t value_depth_ = 0;  // of the value the last key names
  std::vector<Open> open_;       // arrays and inline tables not yet closed
  static constexpr std::size_t kNone = std::string_view::npos;
  std::size_t token_ = kNone;    // where the bare value being read began
  std::optional<TomlScanFault> found_;
};

}  // namespace

std::optional<TomlScanFault> prescan_toml(std::string_view text, std::size_t limit) {
  return NestingScan(text, limit).run();
}

}  // namespace vorpel
