#include "core/storage/toml_record.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include <fmt/format.h>
#include <toml++/toml.h>

#include "core/storage/path_text.hpp"
#include "core/storage/toml_nesting.hpp"

namespace vorpel {

TomlError toml_message_error(std::string_view message) { return TomlError{fmt::format("{}\n", message)}; }

namespace toml_detail {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// ---------------------------------------------------------------------------
// Text helpers. Positions are (line, column), both from 1, columns counted in
// characters (UTF-8 sequences), which is how the parser reports them.

std::size_t sequence_length(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  std::size_t n = 1;
  if (c >= 0xF0) {
    n = 4;
  } else if (c >= 0xE0) {
    n = 3;
  } else if (c >= 0xC0) {
    n = 2;
  }
  return std::min(n, s.size() - i);
}

std::size_t character_count(std::string_view s) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < s.size(); i += sequence_length(s, i)) ++count;
  return count;
}

std::string_view line_text(std::string_view text, std::size_t line) {
  std::size_t start = 0;
  for (std::size_t l = 1; l < line; ++l) {
    const std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) return {};
    start = nl + 1;
  }
  std::size_t end = text.find('\n', start);
  if (end == std::string_view::npos) end = text.size();
  std::string_view content = text.substr(start, end - start);
  if (!content.empty() && content.back() == '\r') content.remove_suffix(1);
  return content;
}

struct Place {
  std::size_t line = 0;  // 0: no place in the document
  std::size_t column = 0;
  std::size_t end_line = 0;
  std::size_t end_column = 0;
};

Place place_of(const toml::source_region& region) {
  return Place{region.begin.line, region.begin.column, region.end.line, region.end.column};
}

// The place of `length` bytes at byte `offset` of a line of `text`.
Place span_place(std::string_view text, std::size_t offset, std::size_t length) {
  const std::string_view before = text.substr(0, offset);
  const std::size_t newline = before.rfind('\n');
  const std::size_t line_start = newline == std::string_view::npos ? 0 : newline + 1;
  const std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t column = 1 + character_count(before.substr(line_start));
  return Place{line, column, line, column + character_count(text.substr(offset, length))};
}

// Lines longer than this many characters are quoted in part: a window that
// starts a little before the fault, each cut marked with "...". A line of
// megabytes would otherwise be copied whole into the message.
constexpr std::size_t kQuotedLineLimit = 160;
constexpr std::size_t kQuotedLead = 40;  // characters kept before the fault

// `count` characters of `s` from character `first` on.
std::string_view character_span(std::string_view s, std::size_t first, std::size_t count) {
  std::size_t begin = 0;
  for (std::size_t n = 0; n < first && begin < s.size(); ++n) begin += sequence_length(s, begin);
  std::size_t end = begin;
  for (std::size_t n = 0; n < count && end < s.size(); ++n) end += sequence_length(s, end);
  return s.substr(begin, end - begin);
}

// Keys a message names are cut as display_named cuts any named value (the
// parser took only valid UTF-8); a quoted string likewise, with "..."
// after its closing quote.
std::string named_quoted(std::string_view text) {
  if (character_count(text) <= kNamedTextLimit) return debug_quoted(text);
  return debug_quoted(character_span(text, 0, kNamedTextLimit)) + "...";
}

std::string frame(std::string_view text, const Place& at, std::string_view message) {
  // Quoted as text: a line the parser stopped in for a byte that is not
  // UTF-8 must not carry that byte into the message.
  const std::string line = display_path(line_text(text, at.line));
  const std::size_t line_chars = character_count(line);
  // The shown part of the line, and the caret column within it.
  std::string content = line;
  std::size_t column = at.column;
  std::size_t chars = line_chars;
  if (line_chars > kQuotedLineLimit) {
    const std::size_t fault = std::min(at.column, line_chars + 1) - 1;
    const std::size_t first = fault > kQuotedLead ? fault - kQuotedLead : 0;
    const std::size_t count = std::min(kQuotedLineLimit, line_chars - first);
    const std::string_view lead = first > 0 ? "..." : "";
    content = fmt::format("{}{}", lead, character_span(line, first, count));
    column = at.column - first + lead.size();
    chars = character_count(content);
    if (first + count < line_chars) content += "...";
  }
  const std::size_t available = chars >= column ? chars - column + 1 : 0;
  std::size_t width = 1;
  if (at.end_line == at.line && at.end_column > at.column) {
    width = at.end_column - at.column;
  } else if (at.end_line > at.line) {
    width = available;
  }
  width = std::clamp<std::size_t>(width, 1, std::max<std::size_t>(available, 1));
  const std::string number = std::to_string(at.line);
  const std::string gutter(number.size() + 1, ' ');
  return fmt::format("TOML parse error at line {}, column {}\n{}|\n{} | {}\n{}|{}{}\n{}\n", at.line, at.column, gutter,
                     number, content, gutter, std::string(column, ' '), std::string(width, '^'), message);
}

std::string dotted(const std::vector<std::string>& keys) {
  std::string out;
  for (const auto& k : keys) {
    if (!out.empty()) out.push_back('.');
    out += k;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Duplicate keys. The parser refuses a redefinition but words it its own way
// and does not say which table the key belongs to, so the statement at the
// parser's error position is found again by a light scan of the text before
// it (which the parser has already accepted) and the message rebuilt.

struct Duplicate {
  std::string key;
  std::vector<std::string> table;
  Place place;
};

class StatementScanner {
 public:
  StatementScanner(std::string_view text, std::size_t line, std::size_t column)
      : s_(text), target_line_(line), target_column_(column) {}

  std::optional<Duplicate> run() {
    std::size_t table = 0;
    while (!stop_) {
      skip_blank(true);
      if (at_end() || past_target()) break;
      if (peek() == '[') {
        header(table);
      } else {
        key_value(table, 0);
      }
    }
    return found_;
  }

 private:
  bool at_end() const { return i_ >= s_.size(); }
  char peek(std::size_t ahead = 0) const { return i_ + ahead < s_.size() ? s_[i_ + ahead] : '\0'; }
  bool past_target() const { return line_ > target_line_ || (line_ == target_line_ && column_ > target_column_); }
  bool at_target() const { return line_ == target_line_ && column_ == target_column_; }
  void give_up() { stop_ = true; }

  void advance() {
    if (at_end()) return;
    if (s_[i_] == '\n') {
      ++line_;
      column_ = 1;
      ++i_;
    } else {
      i_ += sequence_length(s_, i_);
      ++column_;
    }
  }

  // Blanks, and with `lines` also line breaks and comments.
  void skip_blank(bool lines) {
    while (!at_end()) {
      const char c = peek();
      if (c == ' ' || c == '\t') {
        advance();
      } else if (lines && (c == '\n' || c == '\r')) {
        advance();
      } else if (lines && c == '#') {
        while (!at_end() && peek() != '\n') advance();
      } else {
        break;
      }
    }
  }

  static void append_code_point(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  // One key segment; its text with escapes resolved.
  std::optional<std::string> key_segment() {
    std::string out;
    if (peek() == '"') {
      advance();
      while (!at_end() && peek() != '"' && peek() != '\n') {
        if (peek() == '\\') {
          advance();
          const char e = peek();
          const std::size_t digits = e == 'u' ? 4 : e == 'U' ? 8 : 0;
          advance();
          if (digits > 0) {
            std::uint32_t cp = 0;
            for (std::size_t k = 0; k < digits; ++k) {
              const char h = peek();
              std::uint32_t v = 0;
              if (h >= '0' && h <= '9') {
                v = static_cast<std::uint32_t>(h - '0');
              } else if (h >= 'a' && h <= 'f') {
                v = static_cast<std::uint32_t>(h - 'a' + 10);
              } else if (h >= 'A' && h <= 'F') {
                v = static_cast<std::uint32_t>(h - 'A' + 10);
              } else {
                return std::nullopt;
              }
              cp = cp * 16 + v;
              advance();
            }
            append_code_point(out, cp);
          } else {
            switch (e) {
              case 'b': out.push_back('\b'); break;
              case 't': out.push_back('\t'); break;
              case 'n': out.push_back('\n'); break;
              case 'f': out.push_back('\f'); break;
              case 'r': out.push_back('\r'); break;
              default: out.push_back(e); break;  // '"' and '\\'
            }
          }
          continue;
        }
        const std::size_t start = i_;
        advance();
        out.append(s_.substr(start, i_ - start));
      }
      if (peek() != '"') return std::nullopt;
      advance();
      return out;
    }
    if (peek() == '\'') {
      advance();
      const std::size_t start = i_;
      while (!at_end() && peek() != '\'' && peek() != '\n') advance();
      if (peek() != '\'') return std::nullopt;
      out.assign(s_.substr(start, i_ - start));
      advance();
      return out;
    }
    const std::size_t start = i_;
    while (!at_end() && is_toml_bare_key_char(peek())) advance();
    if (i_ == start) return std::nullopt;
    return std::string(s_.substr(start, i_ - start));
  }

  // A dotted key; `place` gets the span of its text.
  std::optional<std::vector<std::string>> key(Place& place) {
    std::vector<std::string> segments;
    skip_blank(false);
    place.line = line_;
    place.column = column_;
    while (true) {
      auto segment = key_segment();
      if (!segment) return std::nullopt;
      segments.push_back(std::move(*segment));
      place.end_line = line_;
      place.end_column = column_;
      skip_blank(false);
      if (peek() != '.') break;
      advance();
      skip_blank(false);
    }
    return segments;
  }

  std::size_t child(std::size_t node, const std::string& key) {
    const auto it = nodes_[node].children.find(key);
    if (it != nodes_[node].children.end()) return it->second;
    nodes_.push_back(Node{node, key, false, {}});
    nodes_[node].children.emplace(key, nodes_.size() - 1);
    return nodes_.size() - 1;
  }

  std::vector<std::string> path_of(std::size_t node) const {
    std::vector<std::string> path;
    for (; node != 0; node = nodes_[node].parent) path.push_back(nodes_[node].key);
    std::reverse(path.begin(), path.end());
    return path;
  }

  void header(std::size_t& table) {
    const bool at = at_target();
    advance();
    const bool array = peek() == '[';
    if (array) advance();
    Place place;
    auto keys = key(place);
    if (!keys) return give_up();
    skip_blank(false);
    if (peek() != ']') return give_up();
    advance();
    if (array) {
      if (peek() != ']') return give_up();
      advance();
    }
    // A header at the error position is the culprit only when its table was
    // defined before; otherwise the fault lies in the header before it.
    std::size_t node = 0;
    for (const auto& k : *keys) node = child(node, k);
    if (at && nodes_[node].defined) {
      found_ = Duplicate{keys->back(), {keys->begin(), keys->end() - 1}, place};
      return give_up();
    }
    nodes_[node].defined = true;
    table = node;
  }

  void key_value(std::size_t table, int depth) {
    Place place;
    auto keys = key(place);
    if (!keys) return give_up();
    skip_blank(false);
    if (peek() != '=') return give_up();
    advance();
    skip_blank(false);
    std::size_t node = table;
    for (std::size_t k = 0; k + 1 < keys->size(); ++k) {
      node = child(node, (*keys)[k]);
      nodes_[node].defined = true;
    }
    if (at_target()) {
      found_ = Duplicate{keys->back(), path_of(node), place};
      return give_up();
    }
    node = child(node, keys->back());
    nodes_[node].defined = true;
    value(node, depth + 1);
  }

  void string_value() {
    const TomlStringEnd end = toml_string_end(s_, i_);
    if (!end.closed) return give_up();
    while (i_ < end.offset) advance();
  }

  // An array or inline table: elements separated by commas up to `close`.
  template <class Element>
  void sequence(char close, Element element) {
    advance();
    while (!stop_) {
      skip_blank(true);
      if (at_end() || past_target()) return give_up();
      if (peek() == close) return advance();
      if (peek() == ',') {
        advance();
        continue;
      }
      element();
    }
  }

  void value(std::size_t path, int depth) {
    if (depth > 512) return give_up();
    const char c = peek();
    if (c == '"' || c == '\'') return string_value();
    if (c == '[') return sequence(']', [&] { value(path, depth + 1); });
    if (c == '{') return sequence('}', [&] { key_value(path, depth + 1); });
    const std::size_t start = i_;
    while (!at_end()) {
      const char d = peek();
      if (d == ',' || d == ']' || d == '}' || d == '\n' || d == '\r' || d == '#') break;
      advance();
    }
    if (i_ == start) give_up();
  }

  std::string_view s_;
  std::size_t i_ = 0;
  std::size_t line_ = 1;
  std::size_t column_ = 1;
  std::size_t target_line_;
  std::size_t target_column_;
  bool stop_ = false;
  // The tables and keys seen so far, as a tree of key names: a path is
  // walked once per statement, whatever its length.
  struct Node {
    std::size_t parent = 0;
    std::string key;
    bool defined = false;
    std::map<std::string, std::size_t, std::less<>> children;
  };
  std::vector<Node> nodes_{1};
  std::optional<Duplicate> found_;
};

std::string syntax_report(std::string_view text, const toml::parse_error& error) {
  const std::string_view description = error.description();
  const auto& begin = error.source().begin;
  if (description.find("cannot redefine existing") != std::string_view::npos &&
      description.find("dotted key-value pair") == std::string_view::npos && begin) {
    if (auto dup = StatementScanner(text, begin.line, begin.column).run()) {
      const std::string message =
          dup->table.empty()
              ? fmt::format("duplicate key `{}` in document root", display_named(dup->key))
              : fmt::format("duplicate key `{}` in table `{}`", display_named(dup->key),
                            display_named(dotted(dup->table)));
      return frame(text, dup->place, message);
    }
  }
  if (!begin) return fmt::format("{}\n", description);
  return frame(text, Place{begin.line, begin.column, begin.line, begin.column + 1}, description);
}

// ---------------------------------------------------------------------------
// Texts describing what was found.

// Shortest text that reads back to the same double, in plain decimal notation
// and always with a decimal point ("4.0", "0.0000001", "1e21" as digits).
std::string float_text(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  std::string sign;
  if (!sci.empty() && sci.front() == '-') {
    sign = "-";
    sci.remove_prefix(1);
  }
  const std::size_t e = sci.find('e');
  std::string digits;
  for (char ch : sci.substr(0, e)) {
    if (ch != '.') digits.push_back(ch);
  }
  int exponent = 0;
  std::string_view exp_text = sci.substr(e + 1);
  if (!exp_text.empty() && exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  const int point = exponent + 1;  // digits before the decimal point
  std::string out = sign;
  if (point <= 0) {
    out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
  } else if (static_cast<std::size_t>(point) >= digits.size()) {
    out += digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0') + ".0";
  } else {
    out += digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
  }
  return out;
}

// `structural`: a record or a map is expected, where a date-time is named as
// such rather than as the map it would be for the other kinds.
std::string found_text(const toml::node& node, bool structural = false) {
  switch (node.type()) {
    case toml::node_type::string: return "string " + named_quoted(node.as_string()->get());
    case toml::node_type::integer: return fmt::format("integer `{}`", node.as_integer()->get());
    case toml::node_type::floating_point: return fmt::format("floating point `{}`", float_text(node.as_floating_point()->get()));
    case toml::node_type::boolean: return fmt::format("boolean `{}`", node.as_boolean()->get());
    case toml::node_type::array: return "sequence";
    case toml::node_type::table: return "map";
    default: return structural ? "date-time" : "map";
  }
}

// ---------------------------------------------------------------------------
// The reading rules.

struct Fault {
  std::string message;
  Place place;                    // line 0: no place
  std::vector<std::string> keys;  // the keys leading to the fault
};

using Step = std::expected<void, Fault>;

std::unexpected<Fault> fault(std::string message, const toml::source_region& region,
                             const std::vector<std::string>& keys) {
  return std::unexpected(Fault{std::move(message), place_of(region), keys});
}

std::vector<std::string> below(const std::vector<std::string>& keys, std::string_view key) {
  auto out = keys;
  out.emplace_back(key);
  return out;
}

std::string invalid_type(const toml::node& node, std::string_view expected, bool structural = false) {
  return fmt::format("invalid type: {}, expected {}", found_text(node, structural), expected);
}

// The entries of a table in the order in which they were written: the
// parser's table is sorted by key, but every key knows where it stood.
std::vector<std::pair<const toml::key*, const toml::node*>> in_document_order(const toml::table& table) {
  std::vector<std::pair<const toml::key*, const toml::node*>> entries;
  for (auto&& [k, v] : table) entries.emplace_back(&k, &v);
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    const auto& pa = a.first->source().begin;
    const auto& pb = b.first->source().begin;
    return pa.line != pb.line ? pa.line < pb.line : pa.column < pb.column;
  });
  return entries;
}

Step read_record(const toml::node& node, const Shape& shape, void* record, const std::vector<std::string>& keys);

Step read_strings(const toml::node& node, const FieldShape& field, void* record, const std::vector<std::string>& keys) {
  const toml::array* array = node.as_array();
  if (array == nullptr) return fault(invalid_type(node, "a sequence"), node.source(), keys);
  const std::string_view element_expected = field.kind == Kind::PathSet ? "path string" : "a string";
  std::vector<std::string> list;
  std::set<std::string> set;
  PathSet paths;
  for (const toml::node& element : *array) {
    const auto* text = element.as_string();
    if (text == nullptr) return fault(invalid_type(element, element_expected), element.source(), keys);
    switch (field.kind) {
      case Kind::StringList: list.push_back(text->get()); break;
      case Kind::StringSet: set.insert(text->get()); break;
      default: paths.insert(text->get()); break;  // the first of equal paths stays
    }
  }
  switch (field.kind) {
    case Kind::StringList: field.assign(record, Value(std::move(list))); break;
    case Kind::StringSet: field.assign(record, Value(std::move(set))); break;
    default: field.assign(record, Value(std::move(paths))); break;
  }
  return {};
}

Step read_field(const toml::node& node, const FieldShape& field, void* record, const std::vector<std::string>& keys) {
  switch (field.kind) {
    case Kind::U32: {
      const auto* integer = node.as_integer();
      if (integer == nullptr) return fault(invalid_type(node, "u32"), node.source(), keys);
      const std::int64_t v = integer->get();
      if (v < 0 || v > static_cast<std::int64_t>(std::numeric_limits<std::uint32_t>::max())) {
        return fault(fmt::format("invalid value: integer `{}`, expected u32", v), node.source(), keys);
      }
      field.assign(record, Value(static_cast<std::uint32_t>(v)));
      return {};
    }
    case Kind::String:
    case Kind::OptionalString: {
      const auto* text = node.as_string();
      if (text == nullptr) return fault(invalid_type(node, "a string"), node.source(), keys);
      field.assign(record, Value(text->get()));
      return {};
    }
    case Kind::StringList:
    case Kind::StringSet:
    case Kind::PathSet: return read_strings(node, field, record, keys);
    case Kind::RecordMap: {
      const toml::table* table = node.as_table();
      if (table == nullptr) return fault(invalid_type(node, "a map", true), node.source(), keys);
      field.clear(record);
      for (const auto& [key, value] : in_document_order(*table)) {
        void* entry = field.add_entry(record, std::string(key->str()));
        if (auto step = read_record(*value, *field.nested, entry, below(keys, key->str())); !step) return step;
      }
      return {};
    }
  }
  return {};
}

std::string field_list(const Shape& shape) {
  std::string out = "one of ";
  for (std::size_t i = 0; i < shape.fields.size(); ++i) {
    if (i > 0) out += ", ";
    out += fmt::format("`{}`", shape.fields[i].name);
  }
  return out;
}

Step read_table(const toml::table& table, const Shape& shape, void* record, const std::vector<std::string>& keys,
                bool top_level) {
  std::vector<bool> seen(shape.fields.size(), false);
  for (const auto& [key, value] : in_document_order(table)) {
    const std::string_view name = key->str();
    const auto it = std::find_if(shape.fields.begin(), shape.fields.end(),
                                 [name](const FieldShape& f) { return f.name == name; });
    if (it == shape.fields.end()) {
      return fault(fmt::format("unknown field `{}`, expected {}", display_named(key->str()), field_list(shape)),
                   key->source(), below(keys, key->str()));
    }
    if (auto step = read_field(*value, *it, record, below(keys, key->str())); !step) return step;
    seen[static_cast<std::size_t>(it - shape.fields.begin())] = true;
  }
  for (std::size_t i = 0; i < shape.fields.size(); ++i) {
    if (!seen[i] && shape.fields[i].required) {
      // The top-level table has no place worth pointing at.
      Fault f{fmt::format("missing field `{}`", shape.fields[i].name), {}, keys};
      if (!top_level) f.place = place_of(table.source());
      return std::unexpected(std::move(f));
    }
  }
  for (std::size_t i = 0; i < shape.fields.size(); ++i) {
    if (seen[i]) continue;
    const FieldShape& f = shape.fields[i];
    if (f.kind == Kind::RecordMap) {
      f.clear(record);
    } else {
      f.assign(record, std::nullopt);
    }
  }
  return {};
}

Step read_array_form(const toml::array& array, const Shape& shape, void* record, const std::vector<std::string>& keys) {
  for (std::size_t i = 0; i < shape.fields.size(); ++i) {
    const FieldShape& f = shape.fields[i];
    if (i < array.size()) {
      if (auto step = read_field(*array.get(i), f, record, keys); !step) return step;
    } else if (f.required) {
      return fault(fmt::format("invalid length {}, expected struct {} with {} elements", array.size(), shape.name,
                               shape.fields.size()),
                   array.source(), keys);
    } else if (f.kind == Kind::RecordMap) {
      f.clear(record);
    } else {
      f.assign(record, std::nullopt);
    }
  }
  return {};
}

Step read_record(const toml::node& node, const Shape& shape, void* record, const std::vector<std::string>& keys) {
  if (const auto* table = node.as_table()) return read_table(*table, shape, record, keys, false);
  if (const auto* array = node.as_array()) return read_array_form(*array, shape, record, keys);
  return fault(invalid_type(node, fmt::format("struct {}", shape.name), true), node.source(), keys);
}

// The code point of the UTF-8 sequence `seq`, when it is a well-formed one.
std::optional<char32_t> code_point(std::string_view seq) {
  if (!is_valid_utf8(seq) || seq.empty()) return std::nullopt;
  const auto byte = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(seq[i])); };
  switch (seq.size()) {
    case 1: return byte(0);
    case 2: return ((byte(0) & 0x1F) << 6) | (byte(1) & 0x3F);
    case 3: return ((byte(0) & 0x0F) << 12) | ((byte(1) & 0x3F) << 6) | (byte(2) & 0x3F);
    default: return ((byte(0) & 0x07) << 18) | ((byte(1) & 0x3F) << 12) | ((byte(2) & 0x3F) << 6) | (byte(3) & 0x3F);
  }
}

std::string prescan_message(std::string_view text, const TomlScanFault& fault) {
  if (fault.kind == TomlScanFault::Kind::Nesting) {
    return fmt::format(
        "exceeded maximum nesting depth of {} (dotted keys, table headers, arrays and inline tables)",
        kMaxTomlNesting);
  }
  const std::string_view seq = text.substr(fault.offset, fault.length);
  const auto point = code_point(seq);
  if (!point) return fmt::format("unexpected byte 0x{:02X}", static_cast<unsigned char>(seq[0]));
  if (fault.kind == TomlScanFault::Kind::AfterBackslash) {
    return fmt::format("unsupported character U+{:04X} after a backslash in a multi-line string",
                       static_cast<std::uint32_t>(*point));
  }
  if (*point < 0x80) return fmt::format("unexpected control character U+{:04X}", static_cast<std::uint32_t>(*point));
  return fmt::format("unexpected character U+{:04X} outside strings and comments", static_cast<std::uint32_t>(*point));
}

std::string report(std::string_view text, const Fault& f) {
  if (f.place.line == 0) {
    if (f.keys.empty()) return fmt::format("{}\n", f.message);
    return fmt::format("{} in `{}`\n", f.message, display_named(dotted(f.keys)));
  }
  return frame(text, f.place, f.message);
}

}  // namespace

std::expected<void, TomlError> read_document(std::string_view text, const Shape& shape, void* record) {
  // The parser skips one leading byte-order mark itself and counts no column
  // for it; a second one is content (and a syntax error). Reports quote the
  // text as the parser saw it.
  std::string_view shown = text;
  if (shown.starts_with(kByteOrderMark)) shown.remove_prefix(kByteOrderMark.size());
  // The parser recurses once per level of nesting, and stumbles over bytes
  // that belong only in strings and comments; refuse both before it sees
  // the text.
  if (const auto fault = prescan_toml(shown)) {
    return std::unexpected(
        TomlError{frame(shown, span_place(shown, fault->offset, fault->length), prescan_message(shown, *fault))});
  }
  toml::table root;
  try {
    root = toml::parse(text);
  } catch (const toml::parse_error& error) {
    return std::unexpected(TomlError{syntax_report(shown, error)});
  }
  if (auto step = read_table(root, shape, record, {}, true); !step) {
    return std::unexpected(TomlError{report(shown, step.error())});
  }
  return {};
}

}  // namespace toml_detail
}  // namespace vorpel
