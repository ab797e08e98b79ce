#include "core/storage/toml_nesting.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vorpel {
namespace {

// The text marked by the scan, or "" when the document stays within `limit`.
std::string excess(std::string_view text, std::size_t limit) {
  const auto found = prescan_toml(text, limit);
  if (found && found->kind != TomlScanFault::Kind::Nesting) return "(not a nesting fault)";
  return found ? std::string(text.substr(found->offset, found->length)) : "";
}

// The character the scan refuses outside strings and comments, or "".
std::string stray(std::string_view text) {
  const auto found = prescan_toml(text);
  if (found && found->kind != TomlScanFault::Kind::StrayCharacter) return "(not a stray character)";
  return found ? std::string(text.substr(found->offset, found->length)) : "";
}

TEST(TomlNesting, CountsEveryLevelOfTheTree) {
  struct Case {
    std::string text;
    std::string marked;  // at limit 3
  };
  const Case cases[] = {
      {"a.b.c = 1\n", ""},
      {"a.b.c.d = 1\n", "d"},
      {"a . b\t. \"c\" . 'd' = 1\n", "'d'"},
      {"[a.b.c]\n", ""},
      {"[a.b.c.d]\n", "d"},
      {"[ a . b . c . \"x.y\" ]\n", "\"x.y\""},
      // the element table of an array of tables is a level of its own
      {"[[a.b]]\n", ""},
      {"[[a.b.c]]\n", "]"},
      // keys count below their table header, and only below the latest one
      {"[a.b]\nc = 1\n", ""},
      {"[a.b]\nc.d = 1\n", "d"},
      {"[a.b.c]\n[x]\ny.z = 1\n", ""},
      // arrays and inline tables as values and as elements
      {"a = [[1]]\n", ""},
      {"a = [[[1]]]\n", ""},
      {"a = [[[[1]]]]\n", "["},
      {"a.b = [[[1]]]\n", "["},
      {"a = {b = {c = 1}}\n", ""},
      {"a = {b = {c.d = 1}}\n", "d"},
      {"a = {b = 1, c.d.e = 1}\n", "e"},
      {"a = [{b = 1}]\n", ""},
      {"a = [{b.c = 1}]\n", "c"},
      {"a = [1, [2, {b = 3}]]\n", "b"},
      {"a = [1, [2, [{b = 3}]]]\n", "{"},
      {"a = [\n  [1],  # [[[[\n  [2],\n]\nb.c.d = 1\n", ""},
      {"x = {a = [1], b.c = 2}\n", ""},
      // strings and comments hold no structure
      {"a = \"[[[[{{{{\"\nb = '[[[['\nc = \"\\\"[[[[\"\n", ""},
      {"a = \"\"\"\n[a.b.c.d]\n\"\"\"\nb = '''\nx.y.z.w = 1\n'''\n", ""},
      {"a = \"\"\"x\\\"\"\"[[[[\"\"\"\n", ""},
      {"a = '''x''''' # [[[[\nb.c.d.e = 1\n", "e"},
      {"# a.b.c.d = 1\n\"a.b.c.d\" = 1\n'x.y' = { \"p.q.r\" = 1 }\n", ""},
      {"a = 1979-05-27T07:32:00Z\nb = 3.14159\nc = -inf\n", ""},
      // an unterminated string ends at its line
      {"a = \"[[[[\\\nb.c.d.e = 1\n", "e"},
      {"a = \"\"\"[[[[\\", ""},
      // no limit passes at the same depth again once a level is closed
      {"a = [[1], [2], [3]]\nb = {c = {d = 1}}\n", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(excess(c.text, 3), c.marked) << c.text;
  }
}

TEST(TomlNesting, MarksTheFirstPartBeyondTheLimitOfAHugeKey) {
  std::string key = "a";
  for (int i = 1; i < 100000; ++i) key += ".a";
  for (const std::string& text : {key + " = 1\n", "[" + key + "]\n", "[[" + key + "]]\n", "x = {" + key + " = 1}\n"}) {
    const auto found = prescan_toml(text);
    ASSERT_TRUE(found) << text.substr(0, 20);
    EXPECT_EQ(text.substr(found->offset, found->length), "a");
    // the key part at depth limit + 1
    const std::size_t parts_before = text.substr(0, found->offset).size() - text.find('a');
    EXPECT_EQ(parts_before / 2 + (text.starts_with("x") ? 1 : 0), kMaxTomlNesting) << text.substr(0, 20);
  }
  EXPECT_FALSE(prescan_toml(std::string(1 << 20, '#')));
  EXPECT_FALSE(prescan_toml("a = [" + std::string(1 << 20, '1') + "]"));
}

TEST(TomlPrescan, RefusesCharactersThatBelongOnlyInStringsAndComments) {
  using namespace std::string_literals;
  struct Case {
    std::string text;
    std::string marked;
  };
  const Case cases[] = {
      // inside any string form, a quoted key or a comment: left alone
      {"a = \"\u00e9\" # \u00e9\n", ""},
      {"a = '\u00e9'\nb = '''\n\u00e9'''\nc = \"\"\"\u00e9\n\"\"\"\n", ""},
      {"\"\u00e9\" = 1\n'\u00e9'.\"\u00e9\" = 2\n[\"\u00e9\".'\u00e9']\n", ""},
      {"a = \"\\\"\u00e9\"\n", ""},
      {"# \x01 \x7F\n", ""},  // the parser refuses those itself
      {"a = 1\t\r\nb = [\r\n\t2,\r\n]\n", ""},
      // outside: a key, a header, a value, inside arrays and inline tables
      {"\u00e9 = 1\n", "\u00e9"},
      {"a.\u00e9 = 1\n", "\u00e9"},
      {"[a.\u00e9]\n", "\u00e9"},
      {"a = 1\u00e9\n", "\u00e9"},
      {"a = \"x\" \u00e9\n", "\u00e9"},
      {"a = [1, \u00e9]\n", "\u00e9"},
      {"a = {b = 1, \u00e9 = 2}\n", "\u00e9"},
      {"a = \xF0\x9F\x98\x80\n", "\xF0\x9F\x98\x80"},
      {"a = \xA0\n", "\xA0"},
      {"a = 1 \xFF\n", "\xFF"},
      {"a = 1\x01\n", "\x01"},
      {"a = 1\x7F\n", "\x7F"},
      {"a = 1\0\n"s, "\0"s},
      // once a comment or a string ends, the text is outside again
      {"# \u00e9\n\u00e9 = 1\n", "\u00e9"},
      {"a = '''x'''\u00e9\n", "\u00e9"},
      // the parser reads a bare value on over quotes and brackets glued to
      // it, and a date on over one blank
      {"ochem = 9n[[[[\"[\u00ca\"\n", "\u00ca"},
      {"a = 1979-05-27 \"\u00e9\"\n", "\u00e9"},
      {"a = [1979-05-27 , \"\u00e9\"]\nb = 1979-05-27 07:32:00 # \u00e9\n", ""},
      {"a = [1,\"\u00e9\"]\nb={c=\"\u00e9\"}\nc = [[\"\u00e9\"]]\n", ""},
      // a quote glued to the token before it opens no string for the parser
      {"a = 0\"\u00e9\"\n", "\u00e9"},
      {"a = [true'\u00e9']\n", "\u00e9"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(stray(c.text), c.marked) << c.text;
  }
}

// In a multi-line basic string the parser looks at the character after a
// backslash, and at the first one a line-ending backslash keeps, as
// possible white space.
TEST(TomlPrescan, RefusesNonAsciiRightAfterABackslashInMultiLineStrings) {
  const struct {
    std::string text;
    std::string marked;
  } cases[] = {
      {"a = \"\"\"\\\u00e9\"\"\"\n", "\u00e9"},
      {"a = \"\"\"x\\  \u00e9\"\"\"\n", "\u00e9"},
      // valid TOML, but the parser cannot be trusted with it
      {"a = \"\"\"x\\\n  \n \u00e9\"\"\"\n", "\u00e9"},
      {"a = \"\"\"x\\\r\n\t\u00e9\"\"\"\n", "\u00e9"},
      // anything else after a backslash or a kept character is fine
      {"a = \"\"\"x\\\n  y\u00e9\"\"\"\n", ""},
      {"a = \"\"\"\\\\\u00e9 \\\"\u00e9\"\"\"\n", ""},
      {"a = '''x\\\n\u00e9'''\n", ""},
      {"a = \"x\\\u00e9\"\n", ""},  // one line: an unknown escape the parser refuses itself
  };
  for (const auto& c : cases) {
    const auto found = prescan_toml(c.text);
    if (c.marked.empty()) {
      EXPECT_FALSE(found) << c.text;
      continue;
    }
    ASSERT_TRUE(found) << c.text;
    EXPECT_EQ(found->kind, TomlScanFault::Kind::AfterBackslash) << c.text;
    EXPECT_EQ(c.text.substr(found->offset, found->length), c.marked) << c.text;
  }
}

}  // namespace
}  // namespace vorpel
