#include "core/storage/user_state.hpp"

#include <gtest/gtest.h>

namespace vorpel {
namespace {

UserState example_state() {
  UserState s;
  s.active_profile = "work";
  s.introduced_packages = {"nano"};
  s.profiles["home"] = ProfileState{.name = "home", .description = "", .packages = {}, .manage = {".profile"}};
  s.profiles["work"] = ProfileState{.name = "work", .description = "", .packages = {"nano", "git"}, .manage = {"bin", ".profile"}};
  return s;
}

constexpr const char* kExampleText = R"(schema = 5
active_profile = "work"
introduced_packages = ["nano"]

[profiles.home]
name = "home"
description = ""
packages = []
manage = [".profile"]

[profiles.work]
name = "work"
description = ""
packages = [
    "git",
    "nano",
]
manage = [
    ".profile",
    "bin",
]
)";

UserState escapes_state() {
  UserState s;
  s.active_profile = "";
  s.introduced_packages = {"b", "a"};
  s.profiles["odd id"] = ProfileState{
      .name = "say \"hi\" \\ back",
      .description = "tab\there\nline\r\b\f\x01\x1F\x7F caf\xC3\xA9",
      .packages = {"x"},
      .manage = {"a//b", "a-b", "a/c", "\xE2\x82\xAC/\"q\""},
  };
  s.profiles["p.q"] = ProfileState{.name = "n", .description = "d", .packages = {}, .manage = {}};
  return s;
}

constexpr const char* kEscapesText = R"(schema = 5
active_profile = ""
introduced_packages = [
    "a",
    "b",
]

[profiles."odd id"]
name = "say \"hi\" \\ back"
description = "tab\there\nline\r\b\f\u0001\u001F\u007F café"
packages = ["x"]
manage = [
    "a//b",
    "a/c",
    "a-b",
    "€/\"q\"",
]

[profiles."p.q"]
name = "n"
description = "d"
packages = []
manage = []
)";

struct Canonical {
  const char* label;
  UserState state;
  std::string text;
};

std::vector<Canonical> canonical_cases() {
  return {
      {"default", UserState{}, "schema = 5\nintroduced_packages = []\n\n[profiles]\n"},
      {"example", example_state(), kExampleText},
      {"escapes", escapes_state(), kEscapesText},
  };
}

TEST(SerializeUserState, WritesTheCanonicalLayout) {
  for (const auto& c : canonical_cases()) {
    const auto text = serialize_user_state(c.state);
    ASSERT_TRUE(text) << c.label << ": " << text.error();
    EXPECT_EQ(*text, c.text) << c.label;
  }
}

TEST(UserStateText, CanonicalTextsReadBackAndWriteAgainUnchanged) {
  for (const auto& c : canonical_cases()) {
    const auto parsed = parse_user_state(c.text);
    ASSERT_TRUE(parsed) << c.label << ": " << parsed.error().report;
    EXPECT_EQ(*parsed, c.state) << c.label;
    EXPECT_EQ(serialize_user_state(*parsed).value(), c.text) << c.label;
  }
}

// Hand-written files read into the record; the next save writes them in the
// canonical form.
TEST(UserStateText, OtherSpellingsReadToTheCanonicalForm) {
  const std::string empty_tail = "introduced_packages = []\n\n[profiles]\n";
  const std::string entry_head = "schema = 5\nintroduced_packages = []\n\n[profiles.p]\nname = \"p\"\n";
  const struct {
    const char* label;
    std::string text;
    std::string canonical;
  } cases[] = {
      {"schema only", "schema = 5", "schema = 5\n" + empty_tail},
      {"byte-order mark, comments, hex schema", "\xEF\xBB\xBF# mine\nschema = 0x5 # five\n", "schema = 5\n" + empty_tail},
      {"repeated packages out of order", "schema = 5\nintroduced_packages = ['b', \"a\", 'b']\n",
       "schema = 5\nintroduced_packages = [\n    \"a\",\n    \"b\",\n]\n\n[profiles]\n"},
      {"equal paths keep the first spelling",
       "schema = 5\n[profiles.p]\nname = \"p\"\nmanage = [\"a//b\", \"a/b\", \"a/b/\"]\n",
       entry_head + "description = \"\"\npackages = []\nmanage = [\"a//b\"]\n"},
      {"inline table", "schema = 5\nprofiles = { p = { manage = [\"x\"], name = \"p\" } }\n",
       entry_head + "description = \"\"\npackages = []\nmanage = [\"x\"]\n"},
      {"array holding only a name", "schema = 5\n[profiles]\np = [\"p\"]\n",
       entry_head + "description = \"\"\npackages = []\nmanage = []\n"},
      {"full array, surplus ignored", "schema = 5\n[profiles]\np = [\"p\", \"d\", [\"z\", \"a\"], [\"m\"], 7]\n",
       entry_head + "description = \"d\"\npackages = [\n    \"a\",\n    \"z\",\n]\nmanage = [\"m\"]\n"},
      {"other string forms",
       "schema = 5\nactive_profile = '''p'''\n[profiles.p]\nname = 'p'\ndescription = \"\"\"\nline\\none\\u00e9\"\"\"\n",
       "schema = 5\nactive_profile = \"p\"\nintroduced_packages = []\n\n[profiles.p]\nname = \"p\"\n"
       "description = \"line\\none\xC3\xA9\"\npackages = []\nmanage = []\n"},
      {"literal backslash", "schema = 5\n[profiles.p]\nname = 'C:\\x'\n",
       "schema = 5\nintroduced_packages = []\n\n[profiles.p]\nname = \"C:\\\\x\"\ndescription = \"\"\n"
       "packages = []\nmanage = []\n"},
      {"quoted id", "schema = 5\n[profiles.\"my p\"]\nname = \"n\"\n",
       "schema = 5\nintroduced_packages = []\n\n[profiles.\"my p\"]\nname = \"n\"\ndescription = \"\"\n"
       "packages = []\nmanage = []\n"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_user_state(c.text);
    ASSERT_TRUE(parsed) << c.label << ": " << parsed.error().report;
    EXPECT_EQ(serialize_user_state(*parsed).value(), c.canonical) << c.label;
  }
  EXPECT_FALSE(parse_user_state("schema = 5\n").value().active_profile.has_value());
}

TEST(UserStateText, FaultsGiveTheirMessages) {
  const struct {
    const char* label;
    std::string text;
    std::string message;
  } cases[] = {
      {"unknown top-level key beats the schema check", "schema = 4\nextra = 1\n",
       "unknown field `extra`, expected one of `schema`, `active_profile`, `introduced_packages`, `profiles`"},
      {"unknown key in an entry", "schema = 5\n[profiles.p]\nname = \"p\"\nName = \"q\"\n",
       "unknown field `Name`, expected one of `name`, `description`, `packages`, `manage`"},
      {"entry without name", "schema = 5\n[profiles.p]\ndescription = \"\"\n", "missing field `name`"},
      {"empty array entry", "schema = 5\n[profiles]\np = []\n",
       "invalid length 0, expected struct ProfileState with 4 elements"},
      {"scalar entry", "schema = 5\n[profiles]\np = true\n", "invalid type: boolean `true`, expected struct ProfileState"},
      {"profiles as array of tables", "schema = 5\n[[profiles]]\nname = \"x\"\n",
       "invalid type: sequence, expected a map"},
      {"schema as string", "schema = \"5\"\n", "invalid type: string \"5\", expected u32"},
      {"schema out of range", "schema = 4294967296\n", "invalid value: integer `4294967296`, expected u32"},
      {"schema float", "schema = 5.0\n", "invalid type: floating point `5.0`, expected u32"},
      {"active profile not a string", "schema = 5\nactive_profile = 1\n", "invalid type: integer `1`, expected a string"},
      {"package not a string", "schema = 5\nintroduced_packages = [\"a\", 2]\n",
       "invalid type: integer `2`, expected a string"},
      {"path not a string", "schema = 5\n[profiles.p]\nname = \"p\"\nmanage = [\"a\", 5]\n",
       "invalid type: integer `5`, expected path string"},
      {"repeated key", "schema = 5\nschema = 5\n", "duplicate key `schema` in document root"},
      {"repeated entry", "schema = 5\n[profiles.p]\nname = \"p\"\n[profiles.p]\nname = \"q\"\n",
       "duplicate key `p` in table `profiles`"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_user_state(c.text);
    ASSERT_FALSE(parsed) << c.label;
    EXPECT_NE(parsed.error().report.find(c.message), std::string::npos) << c.label << ": " << parsed.error().report;
  }
}

TEST(UserStateText, FaultsWithoutAPlaceAreTheMessageAlone) {
  const struct {
    std::string text;
    std::string report;
  } cases[] = {
      {"", "missing field `schema`\n"},
      {"# only a comment\n", "missing field `schema`\n"},
      {"schema = 4\n", "unsupported state schema 4; expected 5\n"},
      {"schema = 0\n[profiles.p]\nname = \"p\"\n", "unsupported state schema 0; expected 5\n"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_user_state(c.text);
    ASSERT_FALSE(parsed) << c.text;
    EXPECT_EQ(parsed.error().report, c.report);
  }
  const auto syntax = parse_user_state("schema = 5\nactive_profile = \n");
  ASSERT_FALSE(syntax);
  EXPECT_TRUE(syntax.error().report.starts_with("TOML parse error at line 2, column ")) << syntax.error().report;
}

TEST(SerializeUserState, SecondElementMovesArrayToOneLinePerElement) {
  UserState s;
  s.profiles["p"] = ProfileState{.name = "p", .description = "", .packages = {"git"}, .manage = {"bin"}};
  const std::string one = serialize_user_state(s).value();
  EXPECT_NE(one.find("\npackages = [\"git\"]\nmanage = [\"bin\"]\n"), std::string::npos) << one;
  s.profiles["p"].packages.insert("vim");
  const std::string two = serialize_user_state(s).value();
  EXPECT_NE(two.find("\npackages = [\n    \"git\",\n    \"vim\",\n]\nmanage = [\"bin\"]\n"), std::string::npos) << two;
}

TEST(SerializeUserState, TextThatIsNotUtf8IsRefused) {
  UserState bad_path;
  bad_path.profiles["p"] = ProfileState{.name = "p", .description = "", .packages = {}, .manage = {"ok", "a\xFF"}};
  EXPECT_EQ(serialize_user_state(bad_path).error(), "path contains invalid UTF-8 characters");

  UserState bad_name;
  bad_name.profiles["p"] = ProfileState{.name = "\xC3", .description = "", .packages = {}, .manage = {}};
  EXPECT_EQ(serialize_user_state(bad_name).error(), "string contains invalid UTF-8 characters");
}

}  // namespace
}  // namespace vorpel
