#include "cli/commands/packages.hpp"

#include <cstdlib>
#include <map>
#include <optional>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "tests/support/process.hpp"
#include "tests/support/temp_dir.hpp"

namespace vorpel::commands {
namespace {

using testing::path_exists;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

using Names = std::vector<std::string>;

const char* const kFakeVariables[] = {
    "VORPEL_FAKE_LOG",         "VORPEL_FAKE_INSTALLED",    "VORPEL_FAKE_QUERY_STDERR", "VORPEL_FAKE_QUERY_EXIT",
    "VORPEL_FAKE_QUERY_SIGNAL", "VORPEL_FAKE_CHANGE_EXIT", "VORPEL_FAKE_CHANGE_SIGNAL", "VORPEL_FAKE_SUDO_EXIT",
    "VORPEL_FAKE_SUDO_SIGNAL",  "VORPEL_FAKE_SUDO",        "VORPEL_FAKE_DEPENDS",      "VORPEL_FAKE_AS_DEPS",
    "VORPEL_FAKE_GROUPS",      "VORPEL_FAKE_PROVIDES",     "VORPEL_FAKE_UNKNOWN",
};

// Every test finds the fake pacman and sudo first on PATH; the real ones are
// never reachable from here.
class PackagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = getenv("PATH");
    saved_path_ = path ? std::optional<std::string>(path) : std::nullopt;
    set_path_first(testing::source_dir() + "/tests/fakes");
    for (const char* name : kFakeVariables) unsetenv(name);
    setenv("VORPEL_FAKE_LOG", log_path().c_str(), 1);
    setenv("VORPEL_FAKE_INSTALLED", installed_path().c_str(), 1);
  }

  void TearDown() override {
    for (const char* name : kFakeVariables) unsetenv(name);
    if (saved_path_) setenv("PATH", saved_path_->c_str(), 1);
    else unsetenv("PATH");
  }

  void set_path_first(const std::string& dir) {
    setenv("PATH", (dir + ":" + saved_path_.value_or("/usr/bin:/bin")).c_str(), 1);
  }

  std::string log_path() const { return dir_ / "log"; }
  std::string installed_path() const { return dir_ / "installed"; }
  void set_installed(const std::string& text) const { write_file(installed_path(), text); }

  // The recorded invocations; empty when nothing was started.
  Names log_lines() const {
    if (!path_exists(log_path())) return {};
    Names lines;
    std::string text = read_file(log_path());
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }

  TempDir dir_;
  std::optional<std::string> saved_path_;
};

TEST(ParseInstalledPackageLinesTest, TrimsUnicodeWhiteSpaceAndSkipsBlankLines) {
  struct Case {
    std::string_view text;
    std::vector<std::string_view> names;
  };
  const Case cases[] = {
      {"", {}},
      {"zsh", {"zsh"}},
      {"zsh\ngit\n", {"zsh", "git"}},
      {"zsh\r\ngit\r\n", {"zsh", "git"}},
      {"\n\n  \t \n zsh  \n\r\n", {"zsh"}},
      {"zsh\ngit\nzsh\n", {"zsh", "git", "zsh"}},
      {"a b\n", {"a b"}},
      {"\v\fzsh\x0b\n", {"zsh"}},
      // U+00A0, U+0085, U+3000, U+2028, U+205F, U+2000, U+200A are white space.
      {"\u00a0zsh\u0085\n\u3000\u2028\n\u205f git \u2000\u200a", {"zsh", "git"}},
      // U+200B (zero width space) and U+FEFF are not.
      {"\u200bzsh\n\ufeffgit", {"\u200bzsh", "\ufeffgit"}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_installed_package_lines(c.text), c.names) << c.text;
}

TEST_F(PackagesTest, QueryCollectsTrimmedNamesOnce) {
  set_installed("zsh\r\ngit\r\n\r\n   \n  vim \t\ngit\n");
  const auto installed = query_installed_packages();
  ASSERT_TRUE(installed.has_value()) << installed.error().display();
  EXPECT_EQ(*installed, (PackageSet{"git", "vim", "zsh"}));
  EXPECT_EQ(log_lines(), Names{"pacman -Qq"});
}

TEST_F(PackagesTest, QueryOfAnEmptySystemIsAnEmptySet) {
  const auto installed = query_installed_packages();
  ASSERT_TRUE(installed.has_value()) << installed.error().display();
  EXPECT_TRUE(installed->empty());
}

TEST_F(PackagesTest, FailedQueryShowsStatusAndTrimmedStandardError) {
  struct Case {
    const char* exit;
    const char* signal;
    const char* err;
    const char* message;
  };
  const Case cases[] = {
      {"1", nullptr, nullptr, "pacman package query failed with exit status: 1: "},
      {"3", nullptr, "\n  error: failed to init transaction (unable to lock database)\u00a0\r\n",
       "pacman package query failed with exit status: 3: error: failed to init transaction (unable to lock "
       "database)"},
      {"1", nullptr, " bad \xff\xfe byte\n", "pacman package query failed with exit status: 1: bad \ufffd\ufffd byte"},
      {nullptr, "TERM", nullptr, "pacman package query failed with signal: 15 (SIGTERM): "},
      {nullptr, "KILL", "dying\n", "pacman package query failed with signal: 9 (SIGKILL): dying"},
  };
  // Standard output is not looked at once the query failed, even when it
  // would not decode.
  set_installed("zsh\n\xff\n");
  for (const auto& c : cases) {
    if (c.exit) setenv("VORPEL_FAKE_QUERY_EXIT", c.exit, 1);
    else unsetenv("VORPEL_FAKE_QUERY_EXIT");
    if (c.signal) setenv("VORPEL_FAKE_QUERY_SIGNAL", c.signal, 1);
    else unsetenv("VORPEL_FAKE_QUERY_SIGNAL");
    if (c.err) setenv("VORPEL_FAKE_QUERY_STDERR", c.err, 1);
    else unsetenv("VORPEL_FAKE_QUERY_STDERR");
    const auto installed = query_installed_packages();
    ASSERT_FALSE(installed.has_value()) << c.message;
    EXPECT_EQ(installed.error().links(), Names{c.message});
  }
}

TEST_F(PackagesTest, SuccessfulQueryIgnoresStandardError) {
  set_installed("zsh\n");
  setenv("VORPEL_FAKE_QUERY_STDERR", "warning: database is old\n", 1);
  const auto installed = query_installed_packages();
  ASSERT_TRUE(installed.has_value()) << installed.error().display();
  EXPECT_EQ(*installed, PackageSet{"zsh"});
}

TEST_F(PackagesTest, QueryOutputThatIsNotUtf8FailsWithTheBareDecodingError) {
  const std::pair<std::string, std::string> cases[] = {
      {"zsh\n\xffgit\n", "invalid utf-8 sequence of 1 bytes from index 4"},
      {"ab\xe2\x82x\n", "invalid utf-8 sequence of 2 bytes from index 2"},
      {"zsh\n\xc0\xaf\n", "invalid utf-8 sequence of 1 bytes from index 4"},
      {"zsh\ngit\xe2\x82", "incomplete utf-8 byte sequence from index 7"},
      {"\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 0"},
  };
  for (const auto& [output, message] : cases) {
    set_installed(output);
    const auto installed = query_installed_packages();
    ASSERT_FALSE(installed.has_value()) << message;
    EXPECT_EQ(installed.error().links(), Names{message});
  }
}

TEST_F(PackagesTest, QueryWithoutPacmanFailsUnderItsContext) {
  TempDir empty;
  setenv("PATH", empty.path().c_str(), 1);
  const auto installed = query_installed_packages();
  ASSERT_FALSE(installed.has_value());
  EXPECT_EQ(installed.error().links(),
            (Names{"query installed packages with pacman", "No such file or directory (os error 2)"}));
  EXPECT_EQ(installed.error().display(),
            "query installed packages with pacman: No such file or directory (os error 2)");
}

TEST_F(PackagesTest, QueriesReadPacmanInTheCLocale) {
  // The fake refuses a query run in any other locale.
  set_installed("zsh\n");
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  const auto installed = query_installed_packages();
  unsetenv("LC_ALL");
  ASSERT_TRUE(installed.has_value()) << installed.error().display();
  EXPECT_EQ(*installed, PackageSet{"zsh"});
}

TEST_F(PackagesTest, GroupsAndProvidedNamesAreRefusedWithWhatTheyResolveTo) {
  setenv("VORPEL_FAKE_GROUPS", (dir_ / "groups").c_str(), 1);
  setenv("VORPEL_FAKE_PROVIDES", (dir_ / "provides").c_str(), 1);
  write_file(dir_ / "groups", "devel make gcc\n");
  write_file(dir_ / "provides", "sh bash\n");
  const Names mixed{"git", "devel", "make", "sh", "devel"};
  const auto refused = refuse_non_package_names(mixed);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().links(),
            Names{"Profiles declare package names, not groups or provided names: devel resolves to make, gcc; sh "
                  "resolves to bash"});
  // One query for all, then one for each name that is not a package's own.
  EXPECT_EQ(log_lines(), (Names{"pacman -Sp --print-format %n -dd --noconfirm -- git devel make sh devel",
                                "pacman -Sp --print-format %n -dd --noconfirm -- devel",
                                "pacman -Sp --print-format %n -dd --noconfirm -- sh"}));

  const Names plain{"git", "make"};
  EXPECT_TRUE(refuse_non_package_names(plain).has_value());
  // A name no repository has is left to the installation, which fails on
  // it before installing anything.
  setenv("VORPEL_FAKE_UNKNOWN", "nothere", 1);
  const Names unknown{"devel", "nothere"};
  EXPECT_TRUE(refuse_non_package_names(unknown).has_value());
  EXPECT_TRUE(refuse_non_package_names(Names{}).has_value());
  EXPECT_EQ(log_lines().size(), 5u);
}

TEST_F(PackagesTest, VerifyNamesTheMissingPackagesInListOrderAndStartsNothing) {
  const Names list{"zsh", "git", "vim"};
  const auto missing = verify_packages(list, PackageSet{"git"});
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().links(), Names{"Profile packages are not installed: zsh, vim"});
  EXPECT_TRUE(verify_packages(list, PackageSet{"git", "vim", "zsh"}).has_value());
  EXPECT_EQ(log_lines(), Names{});
}

TEST(ParseBrokenDependenciesTest, ReadsTheRemovedPackageAndItsRequirers) {
  const auto parsed = parse_broken_dependencies(
      "checking dependencies...\n"
      ":: removing lib breaks dependency 'lib' required by app\n"
      ":: removing lib breaks dependency 'lib>=2' required by tool\r\n"
      "error: failed to prepare transaction (could not satisfy dependencies)\n"
      ":: removing so breaks dependency 'libso.so=1-64' required by a b\n"
      ":: removing nothing here\n");
  EXPECT_EQ(parsed, (std::map<std::string, PackageSet>{{"lib", {"app", "tool"}}, {"so", {"a b"}}}));
}

TEST_F(PackagesTest, RemovalCheckTellsWhatWouldGoOrWhatIsStillRequired) {
  setenv("VORPEL_FAKE_DEPENDS", (dir_ / "depends").c_str(), 1);
  setenv("VORPEL_FAKE_AS_DEPS", (dir_ / "as-deps").c_str(), 1);
  write_file(dir_ / "depends", "app lib\nlib core\ntool core\n");
  write_file(dir_ / "as-deps", "lib\ncore\n");
  set_installed("app\nlib\ncore\ntool\none\n");

  const Names removable{"app", "one"};
  const auto goes = check_removal(removable);
  ASSERT_TRUE(goes.has_value()) << goes.error().display();
  // core stays: tool still requires it.
  EXPECT_EQ(goes->removed, (PackageSet{"app", "lib", "one"}));
  EXPECT_TRUE(goes->refused.empty());

  const Names required{"core", "lib", "one"};
  const auto refused = check_removal(required);
  ASSERT_TRUE(refused.has_value()) << refused.error().display();
  EXPECT_EQ(refused->refused, (std::map<std::string, PackageSet>{{"core", {"tool"}}, {"lib", {"app"}}}));
  EXPECT_EQ(log_lines(), (Names{"pacman -Rsp --print-format %n -- app one",
                                "pacman -Rsp --print-format %n -- core lib one"}));
  // Nothing was removed by either.
  EXPECT_EQ(read_file(installed_path()), "app\nlib\ncore\ntool\none\n");

  // A failure that names no target is no answer.
  const Names absent{"gone"};
  const auto failed = check_removal(absent);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().links(),
            Names{"pacman removal check failed with exit status: 1: error: target not found: gone"});
}

TEST_F(PackagesTest, PruneRunRemovesThroughSudo) {
  set_installed("x\ny\n");
  const Names list{"x"};
  const auto ran = run_sudo_pacman(PACMAN_PRUNE_ARGS, list);
  ASSERT_TRUE(ran.has_value()) << ran.error().display();
  EXPECT_EQ(log_lines(), (Names{"sudo pacman -Rns -- x", "pacman -Rns -- x"}));
  EXPECT_EQ(read_file(installed_path()), "y\n");
}

TEST_F(PackagesTest, FailedChangeRunIsOneMessageWithTheStatus) {
  struct Case {
    const char* variable;
    const char* value;
    const PackageOperation* operation;
    const char* message;
  };
  const Case cases[] = {
      {"VORPEL_FAKE_SUDO_EXIT", "1", &PACMAN_INSTALL_ARGS, "pacman installation failed with exit status: 1"},
      {"VORPEL_FAKE_CHANGE_EXIT", "2", &PACMAN_INSTALL_ARGS, "pacman installation failed with exit status: 2"},
      {"VORPEL_FAKE_CHANGE_SIGNAL", "TERM", &PACMAN_PRUNE_ARGS, "pacman prune failed with signal: 15 (SIGTERM)"},
      {"VORPEL_FAKE_SUDO_SIGNAL", "KILL", &PACMAN_PRUNE_ARGS, "pacman prune failed with signal: 9 (SIGKILL)"},
  };
  const Names list{"zsh"};
  for (const auto& c : cases) {
    setenv(c.variable, c.value, 1);
    const auto ran = run_sudo_pacman(*c.operation, list);
    unsetenv(c.variable);
    ASSERT_FALSE(ran.has_value()) << c.message;
    EXPECT_EQ(ran.error().links(), Names{c.message});
  }
}

TEST_F(PackagesTest, ChangeRunWithoutSudoFailsUnderItsContext) {
  TempDir empty;
  setenv("PATH", empty.path().c_str(), 1);
  const Names list{"zsh"};
  for (const auto* operation : {&PACMAN_INSTALL_ARGS, &PACMAN_PRUNE_ARGS}) {
    const auto ran = run_sudo_pacman(*operation, list);
    ASSERT_FALSE(ran.has_value());
    EXPECT_EQ(ran.error().links(), (Names{fmt::format("run sudo pacman for {}", operation->purpose),
                                          "No such file or directory (os error 2)"}));
  }
}

TEST(PackageFiltersTest, KeepEntriesByExactMembership) {
  const Names list{"zsh", "Git", "vim", "zsh", "a"};
  const PackageSet installed{"git", "vim"};
  EXPECT_EQ(packages_not_in_set(list, installed), (PackageSet{"Git", "a", "zsh"}));
  EXPECT_EQ(missing_packages(list, installed), (Names{"zsh", "Git", "zsh", "a"}));
  const auto planned = plan_missing_packages(list, installed);
  ASSERT_EQ(planned.size(), 4u);
  EXPECT_EQ(planned[0].data(), list[0].data());  // views of the input entries
  EXPECT_EQ(planned[1], "Git");
  EXPECT_EQ(planned[3].data(), list[4].data());
  EXPECT_EQ(installed_prune_candidates(PackageSet{"a", "git", "c", "vim"}, installed), (Names{"git", "vim"}));
}

TEST(PackageFiltersTest, EmptyInstalledSetKeepsEverythingButPruneCandidates) {
  const Names list{"b", "a"};
  const PackageSet none;
  EXPECT_EQ(packages_not_in_set(list, none), (PackageSet{"a", "b"}));
  EXPECT_EQ(missing_packages(list, none), list);
  EXPECT_EQ(plan_missing_packages(list, none).size(), 2u);
  EXPECT_TRUE(installed_prune_candidates(PackageSet{"a", "b"}, none).empty());
}

}  // namespace
}  // namespace vorpel::commands
