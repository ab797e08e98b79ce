#include "core/storage/toml_record.hpp"

#include <gtest/gtest.h>

namespace vorpel {
namespace {

// Two records exercising every value kind, one nested in the other.
struct Entry {
  std::string name;
  std::string description;
  std::set<std::string> tags;
  PathSet paths;
};

struct Doc {
  std::uint32_t schema = 99;
  std::optional<std::string> title;
  std::vector<std::string> items;
  std::map<std::string, Entry> entries;
};

const TomlRecord<Doc>& doc_record() {
  static const TomlRecord<Doc> record = [] {
    TomlRecord<Entry> entry("Entry");
    entry.field("name", &Entry::name, Presence::Required)
        .field("description", &Entry::description)
        .field("tags", &Entry::tags)
        .field("paths", &Entry::paths);
    TomlRecord<Doc> doc("Doc");
    doc.field("schema", &Doc::schema, Presence::Required)
        .field("title", &Doc::title)
        .field("items", &Doc::items)
        .field("entries", &Doc::entries, entry);
    return doc;
  }();
  return record;
}

std::string error_of(const std::string& text) {
  auto r = read_toml_record(text, doc_record());
  if (r) return "(read without error)";
  return r.error().report;
}

// The last line of a report is the message.
std::string message(const std::string& text) {
  std::string report = error_of(text);
  report.pop_back();
  return report.substr(report.rfind('\n') + 1);
}

TEST(TomlRecord, ReadsEveryKind) {
  const auto r = read_toml_record(
      "# comment\n"
      "items = ['b', \"a\", 'b']\n"
      "schema = 0x10\n"
      "title = ''\n"
      "entries.arr = [\"from array\"]\n"
      "entries.inl = { name = \"inline\", tags = [\"z\", \"a\", \"z\"] }\n"
      "[entries.tab]\n"
      "name = \"  spaced  \"\n"
      "description = \"\"\"multi\nline\"\"\"\n"
      "paths = [\"a//b\", \"a-b\", \"a/b/\", \"a\", \"a/b\"]\n",
      doc_record());
  ASSERT_TRUE(r) << r.error().report;
  EXPECT_EQ(r->schema, 16u);
  EXPECT_EQ(r->title, std::optional<std::string>(""));
  EXPECT_EQ(r->items, (std::vector<std::string>{"b", "a", "b"}));  // order and repeats kept
  ASSERT_EQ(r->entries.size(), 3u);

  const Entry& arr = r->entries.at("arr");  // array form: fields by position, the rest defaulted
  EXPECT_EQ(arr.name, "from array");
  EXPECT_EQ(arr.description, "");
  EXPECT_TRUE(arr.tags.empty());

  EXPECT_EQ(r->entries.at("inl").tags, (std::set<std::string>{"a", "z"}));

  const Entry& tab = r->entries.at("tab");
  EXPECT_EQ(tab.name, "  spaced  ");
  EXPECT_EQ(tab.description, "multi\nline");
  // Equal paths collapse to the first as written; iteration in component order.
  EXPECT_EQ(std::vector<std::string>(tab.paths.begin(), tab.paths.end()),
            (std::vector<std::string>{"a", "a//b", "a-b"}));
}

TEST(TomlRecord, AbsentOptionalFieldsTakeEmptyDefaults) {
  const auto r = read_toml_record("schema = 7", doc_record());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->schema, 7u);
  EXPECT_FALSE(r->title.has_value());
  EXPECT_TRUE(r->items.empty());
  EXPECT_TRUE(r->entries.empty());
}

TEST(TomlRecord, ByteOrderMarkIsSkipped) {
  const auto r = read_toml_record("\xEF\xBB\xBFschema = 3\n", doc_record());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->schema, 3u);
  EXPECT_EQ(error_of("\xEF\xBB\xBFschema = 'x'\n"),
            "TOML parse error at line 1, column 10\n"
            "  |\n"
            "1 | schema = 'x'\n"
            "  |          ^^^\n"
            "invalid type: string \"x\", expected u32\n");
  // Only one mark is skipped; a second one is content the parser refuses.
  EXPECT_TRUE(error_of("\xEF\xBB\xBF\xEF\xBB\xBFschema = 3\n").starts_with("TOML parse error at line 1, column 1\n"))
      << error_of("\xEF\xBB\xBF\xEF\xBB\xBFschema = 3\n");
}

TEST(TomlRecord, FramedReports) {
  const struct {
    std::string text;
    std::string report;
  } cases[] = {
      {"title = \"t\"\nschema = \"4\"\n",
       "TOML parse error at line 2, column 10\n  |\n2 | schema = \"4\"\n  |          ^^^\n"
       "invalid type: string \"4\", expected u32\n"},
      {"schema = 4\nSchema = 4\n",
       "TOML parse error at line 2, column 1\n  |\n2 | Schema = 4\n  | ^^^^^^\n"
       "unknown field `Schema`, expected one of `schema`, `title`, `items`, `entries`\n"},
      {"schema = 1\n[extra]\n",
       "TOML parse error at line 2, column 2\n  |\n2 | [extra]\n  |  ^^^^^\n"
       "unknown field `extra`, expected one of `schema`, `title`, `items`, `entries`\n"},
      {"schema = 1\n\n\n\n\n\n\n\n\nitems = ['a', 5]\n",
       "TOML parse error at line 10, column 15\n   |\n10 | items = ['a', 5]\n   |               ^\n"
       "invalid type: integer `5`, expected a string\n"},
      {"schema = 1\n[entries.x]\ndescription = 'd'\n",
       "TOML parse error at line 2, column 1\n  |\n2 | [entries.x]\n  | ^^^^^^^^^^^\n"
       "missing field `name`\n"},
      {"schema = 1\nentries.x = []\n",
       "TOML parse error at line 2, column 13\n  |\n2 | entries.x = []\n  |             ^^\n"
       "invalid length 0, expected struct Entry with 4 elements\n"},
      {"schema = 1\nentries = { x = [\n  'n',\n  5 ] }\n",
       "TOML parse error at line 4, column 3\n  |\n4 |   5 ] }\n  |   ^\n"
       "invalid type: integer `5`, expected a string\n"},
      // a value spanning lines is underlined to the end of its first line
      {"schema = [ 1,\n  2 ]\n",
       "TOML parse error at line 1, column 10\n  |\n1 | schema = [ 1,\n  |          ^^^^\n"
       "invalid type: sequence, expected u32\n"},
      {"title = 'x'\ntitle = 'y'\n",
       "TOML parse error at line 2, column 1\n  |\n2 | title = 'y'\n  | ^^^^^\n"
       "duplicate key `title` in document root\n"},
      {"[entries.x]\nname = 'a'\n[entries.x]\n",
       "TOML parse error at line 3, column 2\n  |\n3 | [entries.x]\n  |  ^^^^^^^^^\n"
       "duplicate key `x` in table `entries`\n"},
      {"schema = 1 2\n",
       "TOML parse error at line 1, column 12\n  |\n1 | schema = 1 2\n  |            ^\n"
       "Error while parsing key-value pair: expected a comment or whitespace, saw '2'\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(error_of(c.text), c.report) << c.text;
  }
  // Carets count characters, not bytes.
  EXPECT_EQ(error_of("\"\u00e9t\u00e9\" = 1\n"),
            "TOML parse error at line 1, column 1\n  |\n1 | \"\u00e9t\u00e9\" = 1\n  | ^^^^^\n"
            "unknown field `\u00e9t\u00e9`, expected one of `schema`, `title`, `items`, `entries`\n");
  // The quoted line is text even where the parser stopped at a stray byte.
  EXPECT_NE(error_of("schema = 1\ntitle = 'a\xFF'\n").find("\n2 | title = 'a\xEF\xBF\xBD'\n"), std::string::npos)
      << error_of("schema = 1\ntitle = 'a\xFF'\n");
  // A character that may stand only in strings and comments is refused
  // before the parser sees it, in the same frame.
  EXPECT_EQ(error_of("schema = 1\ntitle = x\u00e9\n"),
            "TOML parse error at line 2, column 10\n  |\n2 | title = x\u00e9\n  |          ^\n"
            "unexpected character U+00E9 outside strings and comments\n");
  EXPECT_EQ(message("schema = 1\x01\n"), "unexpected control character U+0001");
  EXPECT_EQ(message("schema = 1\xFF\n"), "unexpected byte 0xFF");
  // A syntax error is framed too, with the parser's own description.
  EXPECT_TRUE(error_of("schema = = 1\n").starts_with("TOML parse error at line 1, column 10\n")) << error_of("schema = = 1\n");
}

// A line of megabytes is quoted in part, around the fault: the report stays
// short and its carets still point at the fault.
TEST(TomlRecord, LongLinesAndTextsAreCutInReports) {
  const std::string filler(1 << 20, 'x');
  const struct {
    std::string text;
    std::string quoted;  // the line with the quote and the caret line below it
  } cases[] = {
      {"schema = 1\ntitle = '" + filler + "' 2\n",
       "2 | ..." + std::string(38, 'x') + "' 2\n  |" + std::string(44, ' ') + "^\n"},
      {"schema = 1\nitems = [5, '" + filler + "']\n",
       "2 | items = [5, '" + std::string(147, 'x') + "...\n  |          ^\n"},
      // characters, not bytes, on both sides of the cut
      {"schema = 1\nitems = ['" + std::string(1000, 'x') + "', '\u00e9\u00e9\u00e9', 5]\n",
       "2 | ..." + std::string(30, 'x') + "', '\u00e9\u00e9\u00e9', 5]\n  |" + std::string(44, ' ') + "^\n"},
  };
  for (const auto& c : cases) {
    const std::string report = error_of(c.text);
    EXPECT_LT(report.size(), 600u) << report.substr(0, 600);
    EXPECT_NE(report.find(c.quoted), std::string::npos) << report;
  }
  // Keys and strings that the message names are cut the same way.
  EXPECT_EQ(message("schema = '" + filler + "'\n"),
            "invalid type: string \"" + std::string(200, 'x') + "\"..., expected u32");
  EXPECT_EQ(message("schema = 1\n'" + filler + "' = 1\n"),
            "unknown field `" + std::string(200, 'x') + "...`, expected one of `schema`, `title`, `items`, `entries`");
  EXPECT_LT(error_of("schema = 1\n'" + filler + "' = 1\n").size(), 1000u);
  EXPECT_EQ(message("schema = '" + std::string(200, 'x') + "'\n"),
            "invalid type: string \"" + std::string(200, 'x') + "\", expected u32");
}

// The parser recurses once per level of nesting and runs out of stack at
// some 30,000 levels: every way of nesting is refused before it parses.
TEST(TomlRecord, DeepNestingIsRefusedWithItsPlace) {
  const std::string refusal =
      "exceeded maximum nesting depth of 256 (dotted keys, table headers, arrays and inline tables)\n";
  std::string key = "a";
  for (int i = 1; i < 40000; ++i) key += ".a";
  std::string nested_tables;  // inline tables within the parser's own limit, each with a dotted key
  for (int i = 0; i < 200; ++i) nested_tables += "{a.a = ";
  nested_tables += "1" + std::string(200, '}');
  const struct {
    std::string text;
    std::size_t column;  // on line 2
  } cases[] = {
      {key + " = 1\n", 513},
      {"[" + key + "]\n", 514},
      {"[[" + key + "]]\n", 515},
      {"x = {" + key + " = 1}\n", 516},
      {"x = [{" + key + " = 1}]\n", 515},
      {"x = " + nested_tables + "\n", 1 + 4 + 127 * 7 + 3},
      {"[" + key.substr(0, 399) + "]\n" + key.substr(0, 399) + " = 1\n", 0},
  };
  for (const auto& c : cases) {
    const std::string text = "schema = 1\n" + c.text;
    const std::string report = error_of(text);
    if (c.column == 0) {  // line 3: the dotted key below the header
      EXPECT_TRUE(report.starts_with("TOML parse error at line 3, column 113\n")) << report.substr(0, 60);
    } else {
      EXPECT_TRUE(report.starts_with("TOML parse error at line 2, column " + std::to_string(c.column) + "\n"))
          << report.substr(0, 60);
    }
    EXPECT_TRUE(report.ends_with("^\n" + refusal)) << report.substr(report.size() - std::min<std::size_t>(report.size(), 200));
  }
  // A document within the limit reads on to the record rules.
  EXPECT_EQ(message("schema = 1\n" + key.substr(0, 2 * 256 - 1) + " = 1\n"),
            "unknown field `a`, expected one of `schema`, `title`, `items`, `entries`");
}

TEST(TomlRecord, Messages) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"", "missing field `schema`"},
      {"# only a comment\n\n", "missing field `schema`"},
      {"title = 'x'", "missing field `schema`"},
      {"schema = -1", "invalid value: integer `-1`, expected u32"},
      {"schema = 4294967296", "invalid value: integer `4294967296`, expected u32"},
      {"schema = 4294967295\nentries.a = 1", "invalid type: integer `1`, expected struct Entry"},
      {"schema = 4.0", "invalid type: floating point `4.0`, expected u32"},
      {"schema = 1e21", "invalid type: floating point `1000000000000000000000.0`, expected u32"},
      {"schema = 1e-7", "invalid type: floating point `0.0000001`, expected u32"},
      {"schema = -0.0", "invalid type: floating point `-0.0`, expected u32"},
      {"schema = 2.5", "invalid type: floating point `2.5`, expected u32"},
      {"schema = nan", "invalid type: floating point `NaN`, expected u32"},
      {"schema = -inf", "invalid type: floating point `-inf`, expected u32"},
      {"schema = true", "invalid type: boolean `true`, expected u32"},
      {"schema = [1]", "invalid type: sequence, expected u32"},
      {"schema = {}", "invalid type: map, expected u32"},
      {"schema = 1979-05-27", "invalid type: map, expected u32"},
      {"schema = 1\ntitle = 07:32:00", "invalid type: map, expected a string"},
      {"schema = 1\ntitle = 5", "invalid type: integer `5`, expected a string"},
      {"schema = 1\nitems = 'a'", "invalid type: string \"a\", expected a sequence"},
      {"schema = 1\n[items]", "invalid type: map, expected a sequence"},
      {"schema = 1\n[[items]]", "invalid type: map, expected a string"},
      {"schema = 1\nentries.x = { name = 'n', paths = ['a', 1] }", "invalid type: integer `1`, expected path string"},
      {"schema = 1\nentries.x = { name = 'n', tags = [false] }", "invalid type: boolean `false`, expected a string"},
      {"schema = 1\nentries = 5", "invalid type: integer `5`, expected a map"},
      {"schema = 1\n[[entries]]", "invalid type: sequence, expected a map"},
      {"schema = 1\nentries = 1979-05-27T07:32:00Z", "invalid type: date-time, expected a map"},
      {"schema = 1\nentries.x = 'n'", "invalid type: string \"n\", expected struct Entry"},
      {"schema = 1\nentries.x = 1979-05-27", "invalid type: date-time, expected struct Entry"},
      {"schema = 1\nentries.x = [1]", "invalid type: integer `1`, expected a string"},
      {"schema = 1\nentries.x = { name = 'n', Name = 'm' }",
       "unknown field `Name`, expected one of `name`, `description`, `tags`, `paths`"},
      {"schema = 1\n[entries.x]\n", "missing field `name`"},
      {R"(schema = "a\"b\\c\n\t\r\u0000\u0001\u007f\u0085\u00e9'")",
       "invalid type: string \"a\\\"b\\\\c\\n\\t\\r\\0\\u{1}\\u{7f}\\u{85}\u00e9'\", expected u32"},
      {"\"title\" = 'x'\ntitle = 'y'", "duplicate key `title` in document root"},
      {"schema = 1\n[entries.x]\nname = 'a'\nname = 'b'", "duplicate key `name` in table `entries.x`"},
      {"entries = { x = ['a'], 'x' = ['b'] }", "duplicate key `x` in table `entries`"},
      {"entries.x.name = 'a'\nentries.x.\"name\" = 'b'", "duplicate key `name` in table `entries.x`"},
      {"[entries]\n[entries]", "duplicate key `entries` in document root"},
      {"entries = { x = { name = 'a', p.q = 1, p.q = 2 } }", "duplicate key `q` in table `entries.x.p`"},
      {"a.b.c = 1\n[x]\n[a.b]", "duplicate key `b` in table `a`"},
      {"entries = {}\n[entries]", "duplicate key `entries` in document root"},
      {"[[entries]]\n[entries]", "duplicate key `entries` in document root"},
      // The faulty header here is the first one; the one after it is fine.
      {"items = 1\n[items.x]\n[other]", "Error while parsing table header: cannot redefine existing integer 'items.x' as table"},
  };
  for (const auto& c : cases) EXPECT_EQ(message(c.text), c.message) << c.text;
}

TEST(TomlRecord, EarlierFaultWins) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      // an unknown key beats a missing required field
      {"bogus = 1", "unknown field `bogus`, expected one of `schema`, `title`, `items`, `entries`"},
      // of two faulty entries the first written is reported, whatever the key order
      {"title = 1\nschema = 'x'", "invalid type: integer `1`, expected a string"},
      {"schema = 'x'\ntitle = 1", "invalid type: string \"x\", expected u32"},
      {"zz = 1\naa = 1", "unknown field `zz`, expected one of `schema`, `title`, `items`, `entries`"},
      {"schema = 1\n[entries.b]\nname = 1\n[entries.a]\nname = 2", "invalid type: integer `1`, expected a string"},
      {"schema = 1\n[entries.b]\nbad = 1\n[entries.a]\n", "unknown field `bad`, expected one of `name`, `description`, `tags`, `paths`"},
      // a syntax error anywhere beats every record fault
      {"bogus = 1\nschema = = 2", "Error while parsing value: could not determine value type"},
  };
  for (const auto& c : cases) EXPECT_EQ(message(c.text), c.message) << c.text;
}

TEST(TomlRecord, MessageErrorHasNoPosition) {
  EXPECT_EQ(toml_message_error("unsupported state schema 4; expected 5").report,
            "unsupported state schema 4; expected 5\n");
}

}  // namespace
}  // namespace vorpel
