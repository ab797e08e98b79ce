#include "core/storage/state_store.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>
#include <functional>

#include "tests/support/temp_dir.hpp"

namespace vorpel {
namespace {

using testing::TempDir;
using testing::path_exists;
using testing::read_file;
using testing::write_file;

ProfileState entry(std::string name, std::set<std::string> packages = {}, PathSet manage = {}) {
  return ProfileState{.name = std::move(name), .description = "", .packages = std::move(packages), .manage = std::move(manage)};
}

UserState valid_state() {
  UserState s;
  s.active_profile = "work";
  s.introduced_packages = {"git", "lib32-glibc"};
  s.profiles["home"] = entry("Home", {}, {".profile"});
  s.profiles["work"] = entry("work", {"git", "gtk+"}, {".config/nvim", ".config/nvim-old", "bin"});
  return s;
}

TEST(ValidateState, AcceptsDefaultAndValidStates) {
  EXPECT_TRUE(validate_state(UserState{}));
  EXPECT_TRUE(validate_state(valid_state()));
}

TEST(ValidateState, EachRuleHasItsMessageAndTheFirstFailureWins) {
  const struct {
    const char* label;
    std::function<void(UserState&)> change;
    std::string message;
  } cases[] = {
      {"schema", [](UserState& s) { s.schema = 4; s.active_profile = "gone"; }, "invalid user state schema"},
      {"active not retained",
       [](UserState& s) { s.active_profile = "gone"; s.introduced_packages.insert("bad name"); },
       "active profile gone is not retained"},
      {"empty active id", [](UserState& s) { s.active_profile = ""; }, "active profile  is not retained"},
      {"introduced package",
       [](UserState& s) { s.introduced_packages.insert("a/b"); s.profiles["Bad"] = entry("x"); },
       "invalid package name a/b"},
      {"id", [](UserState& s) { s.profiles["Bad"] = entry(" "); }, "invalid saved profile Bad"},
      {"blank name", [](UserState& s) { s.profiles["home"].name = " \t\u3000\u2028 "; },
       "saved profile home has an empty name"},
      {"empty name", [](UserState& s) { s.profiles["home"] = entry("", {"x y"}); },
       "saved profile home has an empty name"},
      {"entry package", [](UserState& s) { s.profiles["home"].packages.insert("x y"); }, "invalid package name x y"},
      // Every path is checked for cleanness before any overlap.
      {"managed path",
       [](UserState& s) { s.profiles["work"].manage.insert(".config"); s.profiles["work"].manage.insert("z/../y"); },
       "invalid managed path z/../y for profile work"},
      {"absolute path", [](UserState& s) { s.profiles["home"].manage.insert("/etc"); },
       "invalid managed path /etc for profile home"},
      {"path shown as text", [](UserState& s) { s.profiles["home"].manage.insert("./\xFF"); },
       "invalid managed path ./\xEF\xBF\xBD for profile home"},
      {"overlap names the ancestor", [](UserState& s) { s.profiles["work"].manage.insert(".config"); },
       "overlapping managed path .config for profile work"},
      // the first path in order that lies above another, also where its
      // siblings sort between it and what lies below it
      {"first of several overlaps",
       [](UserState& s) {
         for (const char* p : {"b/c", "a-b", "b", "a/x", "a"}) s.profiles["home"].manage.insert(p);
       },
       "overlapping managed path a for profile home"},
      // Entries are checked in id order, each one completely.
      {"entry order",
       [](UserState& s) { s.profiles["home"].manage.insert(".profile/x"); s.profiles["work"].packages.insert("?"); },
       "overlapping managed path .profile for profile home"},
  };
  for (const auto& c : cases) {
    UserState s = valid_state();
    c.change(s);
    const auto result = validate_state(s);
    ASSERT_FALSE(result) << c.label;
    EXPECT_TRUE(result.error().is_message()) << c.label;
    EXPECT_EQ(result.error().text(), c.message) << c.label;
  }
}

TEST(ValidateState, NameIsTrimmedOnlyForTheTest) {
  UserState s = valid_state();
  s.profiles["home"].name = "\u00A0x\u00A0";
  EXPECT_TRUE(validate_state(s));
  s.profiles["home"].name = "\xFF";  // not UTF-8, but not blank either
  EXPECT_TRUE(validate_state(s));
}

TEST(ForgetProfile, RefusesTheActiveProfileAndDropsOthers) {
  UserState s = valid_state();
  const auto active = forget_profile(s, "work");
  ASSERT_FALSE(active);
  EXPECT_EQ(active.error().text(), "cannot remove active profile work");
  EXPECT_EQ(s, valid_state());

  EXPECT_EQ(forget_profile(s, "other").value(), false);
  EXPECT_EQ(s, valid_state());

  EXPECT_EQ(forget_profile(s, "home").value(), true);
  EXPECT_FALSE(s.profiles.contains("home"));
  EXPECT_EQ(s.introduced_packages, valid_state().introduced_packages);

  // An active id that is not retained is still refused.
  UserState dangling;
  dangling.active_profile = "ghost";
  EXPECT_FALSE(forget_profile(dangling, "ghost"));
}

TEST(UnusedIntroducedPackages, NamesNoRetainedProfileNeeds) {
  UserState s;
  EXPECT_TRUE(unused_introduced_packages(s).empty());
  s.introduced_packages = {"a", "b", "c"};
  s.profiles["x"] = entry("x", {"b"});
  s.profiles["y"] = entry("y", {"c", "d"});
  EXPECT_EQ(unused_introduced_packages(s), (std::set<std::string>{"a"}));
}

TEST(ProfileStateFromProfile, CopiesTheRecordedFields) {
  const Profile p{.id = "work", .name = " Work ", .description = "d", .content_root = "/usr/share/work",
                  .packages = {"nano", "git"}, .manage = {"bin", ".profile"}};
  const ProfileState s = profile_state_from_profile(p);
  EXPECT_EQ(s, (ProfileState{.name = " Work ", .description = "d", .packages = {"git", "nano"}, .manage = {".profile", "bin"}}));
}

TEST(CheckPackageName, MessageNamesThePackage) {
  EXPECT_TRUE(check_package_name("python3.12"));
  EXPECT_EQ(check_package_name("").error().text(), "invalid package name ");
  EXPECT_EQ(check_package_name("a:b").error().text(), "invalid package name a:b");
}

TEST(SaveState, WritesTheRenderedStatePrivately) {
  TempDir tmp;
  const std::string path = tmp / "st/vorpel/state.toml";
  ASSERT_TRUE(save_state(path, UserState{}));
  EXPECT_EQ(read_file(path), "schema = 5\nintroduced_packages = []\n\n[profiles]\n");
  struct stat st{};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(SaveState, UnrenderableStateTouchesNothing) {
  TempDir tmp;
  const std::string path = tmp / "vorpel/state.toml";
  UserState bad;
  bad.profiles["p"] = entry("p", {}, {"a\xFF"});
  const auto missing_dir = save_state(path, bad);
  ASSERT_FALSE(missing_dir);
  EXPECT_TRUE(missing_dir.error().is_message());
  EXPECT_EQ(missing_dir.error().text(), "path contains invalid UTF-8 characters");
  EXPECT_FALSE(path_exists(tmp / "vorpel"));

  write_file(path, "old\n");
  EXPECT_FALSE(save_state(path, bad));
  EXPECT_EQ(read_file(path), "old\n");
}

TEST(LoadState, NoReachableFileIsTheDefaultStateAndCreatesNothing) {
  TempDir tmp;
  write_file(tmp / "plain", "");
  ASSERT_EQ(::symlink("missing", (tmp / "dangling").c_str()), 0);
  ASSERT_EQ(::symlink("loop", (tmp / "loop").c_str()), 0);
  for (const std::string& path : {tmp / "none/vorpel/state.toml", tmp / "plain/state.toml", tmp / "dangling",
                                 tmp / "loop"}) {
    const auto s = load_state(path);
    ASSERT_TRUE(s) << path << ": " << s.error().text();
    EXPECT_EQ(*s, UserState{}) << path;
    EXPECT_TRUE(validate_state(*s));
  }
  EXPECT_FALSE(path_exists(tmp / "none"));
  EXPECT_FALSE(path_exists(tmp / "missing"));
}

TEST(LoadState, UnsearchableDirectoryIsTheDefaultState) {
  if (::geteuid() == 0) GTEST_SKIP() << "permission denial cannot be tested as root (euid 0)";
  TempDir tmp;
  write_file(tmp / "closed/state.toml", "schema = 5\n");
  ASSERT_EQ(::chmod((tmp / "closed").c_str(), 0600), 0);
  const auto s = load_state(tmp / "closed/state.toml");
  ASSERT_TRUE(s) << s.error().text();
  EXPECT_EQ(*s, UserState{});
}

TEST(LoadState, SavedStateLoadsBackEqual) {
  TempDir tmp;
  const std::string path = tmp / "vorpel/state.toml";
  ASSERT_TRUE(save_state(path, valid_state()));
  EXPECT_EQ(load_state(path).value(), valid_state());
}

TEST(LoadState, DanglingLinkLoadsAsDefaultAndSaveReplacesTheLink) {
  TempDir tmp;
  const std::string path = tmp / "state.toml";
  ASSERT_EQ(::symlink("gone", path.c_str()), 0);
  ASSERT_EQ(load_state(path).value(), UserState{});
  ASSERT_TRUE(save_state(path, valid_state()));
  struct stat st{};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_FALSE(path_exists(tmp / "gone"));
}

TEST(LoadState, UnreadableOrBrokenFilesGiveTheirErrors) {
  TempDir tmp;
  const struct {
    const char* label;
    std::function<void(const std::string&)> make;
    std::string text;  // %s stands for the state file path
  } cases[] = {
      {"directory", [](const std::string& p) { testing::make_dirs(p); },
       "I/O at %s: Is a directory (os error 21)"},
      {"not UTF-8", [](const std::string& p) { write_file(p, "schema = 5\nactive_profile = \"\xFF\"\n"); },
       "I/O at %s: stream did not contain valid UTF-8"},
      // Reading must neither wait for a writer nor stream without end.
      {"named pipe",
       [](const std::string& p) {
         testing::make_dirs(p.substr(0, p.rfind('/')));
         ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0);
       },
       "I/O at %s: not a regular file"},
      {"future schema", [](const std::string& p) { write_file(p, "schema = 6\n"); },
       "invalid manifest %s: unsupported state schema 6; expected 5\n"},
      {"wrong type", [](const std::string& p) { write_file(p, "schema = 5\nintroduced_packages = \"git\"\n"); },
       "invalid manifest %s: TOML parse error at line 2, column 23\n"},
      {"empty", [](const std::string& p) { write_file(p, ""); }, "invalid manifest %s: missing field `schema`\n"},
      {"old schema", [](const std::string& p) { write_file(p, "schema = 4\n"); },
       "invalid manifest %s: unsupported state schema 4; expected 5\n"},
      {"truncated", [](const std::string& p) { write_file(p, "schema = 5\n[profiles.p]\nname = \"wo"); },
       "invalid manifest %s: TOML parse error at line 3, column "},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string path = tmp / ("case" + std::to_string(n++) + "/state.toml");
    c.make(path);
    const auto s = load_state(path);
    ASSERT_FALSE(s) << c.label;
    std::string expected = c.text;
    expected.replace(expected.find("%s"), 2, path);
    EXPECT_TRUE(s.error().text().starts_with(expected)) << c.label << ": " << s.error().text();
  }

  // Unknown keys are reported before the schema is looked at.
  const std::string path = tmp / "unknown.toml";
  write_file(path, "schema = 4\nactive = \"x\"\n");
  const auto s = load_state(path);
  ASSERT_FALSE(s);
  EXPECT_NE(s.error().text().find("unknown field `active`"), std::string::npos) << s.error().text();
}

// A metadata failure that does not say the file is absent must not pass for
// "no state yet": the next save would overwrite the user's records.
TEST(LoadState, OtherMetadataFailuresAreReported) {
  TempDir tmp;
  const std::string path = tmp.path() + "/" + std::string(300, 'n') + "/state.toml";
  const auto s = load_state(path);
  ASSERT_FALSE(s);
  ASSERT_NE(s.error().as_io(), nullptr);
  EXPECT_EQ(s.error().as_io()->path, path);
  EXPECT_EQ(s.error().as_io()->source.code(), ENAMETOOLONG);
}

TEST(LoadState, UnreadableFileIsAnIoError) {
  if (::geteuid() == 0) GTEST_SKIP() << "permission denial cannot be tested as root (euid 0)";
  TempDir tmp;
  const std::string path = tmp / "state.toml";
  write_file(path, "schema = 5\n");
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  const auto s = load_state(path);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().text(), "I/O at " + path + ": Permission denied (os error 13)");
}

}  // namespace
}  // namespace vorpel
