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
  s.schema = 7;
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

constexpr const char* kEscapesText = R"(schema = 7
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
