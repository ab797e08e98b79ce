// End-to-end runs of `remove` and `prune`.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/sandbox.hpp"

namespace vorpel::testing {
namespace {

using Names = std::vector<std::string>;

// `work` (active) and `home` (inactive) are retained; the tool introduced
// "a", "b" and "c", of which `home` still declares "b".
constexpr const char* kTwoRetained = R"(schema = 5
active_profile = "work"
introduced_packages = [
    "a",
    "b",
    "c",
]

[profiles.home]
name = "home"
description = ""
packages = ["b"]
manage = [".bashrc"]

[profiles.work]
name = "work"
description = ""
packages = []
manage = [".profile"]
)";

class HousekeepingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box.write_state(kTwoRetained);
    write_file(box.snapshot_dir("work") + "/.profile", "work\n");
    write_file(box.snapshot_dir("home") + "/.bashrc", "home\n");
  }
  Sandbox box;
};

TEST_F(HousekeepingTest, RemoveForgetsAnInactiveProfileAndDeletesItsDirectory) {
  const auto r = box.run({"remove", "home"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Profile home was forgotten. Run vorpel prune to remove unused packages.\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(names_in(box.state_dir() + "/profiles"), Names{"work"});
  // Its packages stay recorded as introduced until a prune.
  EXPECT_EQ(read_file(box.state_file()), R"(schema = 5
active_profile = "work"
introduced_packages = [
    "a",
    "b",
    "c",
]

[profiles.work]
name = "work"
description = ""
packages = []
manage = [".profile"]
)");
  EXPECT_EQ(box.fake_log(), Names{});
}

TEST_F(HousekeepingTest, RemoveOfAProfileWhoseDirectoryIsAlreadyGoneSucceeds) {
  std::filesystem::remove_all(box.state_dir() + "/profiles/home");
  const auto r = box.run({"remove", "home"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Profile home was forgotten. Run vorpel prune to remove unused packages.\n");
  EXPECT_EQ(read_file(box.state_file()).find("[profiles.home]"), std::string::npos);
}

TEST_F(HousekeepingTest, RemoveRefusalsChangeNothing) {
  box.add_profile("site", {}, {});  // installed but not retained
  const std::pair<std::string, std::string> cases[] = {
      {"work", "error: cannot remove active profile work\n"},
      {"site", "error: Profile site is not retained\n"},
      {"nope", "error: Profile nope is not retained\n"},
  };
  for (const auto& [id, err] : cases) {
    const auto r = box.run({"remove", id});
    EXPECT_EQ(r.status, 2) << id;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, err);
  }
  EXPECT_EQ(read_file(box.state_file()), kTwoRetained);
  EXPECT_EQ(names_in(box.state_dir() + "/profiles"), (Names{"home", "work"}));
}

TEST_F(HousekeepingTest, RemoveReportsAFailedDeletionAsTheBareSystemError) {
  // "profiles" as a link to itself: the Profile's directory can be reached
  // neither for deletion nor to tell that it is absent, also for root.
  const std::string profiles = box.state_dir() + "/profiles";
  std::filesystem::remove_all(profiles);
  std::filesystem::create_symlink("profiles", profiles);
  const auto r = box.run({"remove", "home"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: Too many levels of symbolic links (os error 40)\n");
  EXPECT_EQ(read_file(box.state_file()), kTwoRetained);
}

// A link at the Profile's directory is removed itself; a link at
// "profiles" is refused, so nothing is deleted where it points.
TEST_F(HousekeepingTest, RemoveNeverDeletesThroughALink) {
  const std::string profiles = box.state_dir() + "/profiles";
  const std::string outside = box.root() + "/outside";
  std::filesystem::rename(profiles, outside);
  make_symlink(outside, profiles);
  const auto refused = box.run({"remove", "home"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.err, "error: Too many levels of symbolic links (os error 40)\n");
  EXPECT_EQ(names_in(outside), (Names{"home", "work"}));
  EXPECT_EQ(read_file(box.state_file()), kTwoRetained);

  std::filesystem::remove(profiles);
  make_dirs(profiles);
  make_symlink(outside + "/home", profiles + "/home");
  const auto removed = box.run({"remove", "home"});
  ASSERT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(names_in(profiles), Names{});
  EXPECT_EQ(read_file(outside + "/home/managed/.bashrc"), "home\n");
}

TEST_F(HousekeepingTest, PruneRemovesInstalledCandidatesAndDropsStaleOnes) {
  box.set_installed({"z", "c", "b", "a"});
  const auto r = box.run({"prune"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Unused Vorpel packages were pruned.\n");
  // "b" is still declared by `home`; "a" and "c" go in byte order, after a
  // dry run that says what else would go with them (nothing here).
  EXPECT_EQ(box.fake_log(), (Names{"pacman -Qq", "pacman -Rsp --print-format %n -- a c", "sudo pacman -Rns -- a c",
                                   "pacman -Rns -- a c"}));
  EXPECT_EQ(read_file(box.installed_path()), "z\nb\n");
  EXPECT_NE(read_file(box.state_file()).find("introduced_packages = [\"b\"]\n"), std::string::npos);

  // Now only stale records are left once `home` is forgotten and "b" is gone.
  ASSERT_EQ(box.run({"remove", "home"}).status, 0);
  box.set_installed({"z"});
  const auto stale = box.run({"prune"});
  ASSERT_EQ(stale.status, 0) << stale.err;
  EXPECT_EQ(stale.out, "Removed stale Vorpel package records; no installed packages required pruning.\n");
  EXPECT_EQ(box.fake_log().size(), 5u);  // one more query, no sudo
  EXPECT_NE(read_file(box.state_file()).find("introduced_packages = []\n"), std::string::npos);
}

TEST_F(HousekeepingTest, FailedPruneLeavesTheRecords) {
  box.set_installed({"a"});
  const auto r = run_with_env(box, {"prune"}, {{"VORPEL_FAKE_CHANGE_EXIT", "1"}});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: pacman prune failed with exit status: 1\n");
  EXPECT_EQ(read_file(box.state_file()), kTwoRetained);
}

// The dependency world of the tests below: app needs lib, base needs core,
// tool needs lib; `alpha` declares app and base came in with it.
class PruneDependenciesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box.env["VORPEL_FAKE_DEPENDS"] = box.root() + "/fake-depends";
    box.env["VORPEL_FAKE_AS_DEPS"] = box.root() + "/fake-as-deps";
    write_file(box.root() + "/fake-depends", "app base\nbase core\ntool lib\n");
    box.set_installed({"other"});
  }
  std::string as_deps() const { return read_file(box.root() + "/fake-as-deps"); }
  Names log_since(std::size_t logged) const {
    auto log = box.fake_log();
    log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(logged));
    return log;
  }
  Sandbox box;
};

// `beta` declares base, which pacman holds as a dependency of app: the
// removal of app would take it, so just that one is marked explicit and
// recorded; lib, a dependency of the user's own tool that `gamma` declares,
// keeps its install reason.
TEST_F(PruneDependenciesTest, MarksOnlyWhatTheRemovalWouldTakeAndRecordsIt) {
  box.add_profile("alpha", {"app"}, {});
  box.add_profile("beta", {"base"}, {});
  box.add_profile("gamma", {"lib"}, {});
  ASSERT_EQ(box.run({"select", "alpha"}).status, 0);
  ASSERT_EQ(box.run({"select", "beta"}).status, 0);
  write_file(box.installed_path(), read_file(box.installed_path()) + "tool\nlib\n");
  write_file(box.root() + "/fake-as-deps", as_deps() + "lib\n");
  ASSERT_EQ(box.run({"select", "gamma"}).status, 0);
  ASSERT_EQ(box.run({"remove", "alpha"}).status, 0);
  const std::size_t logged = box.fake_log().size();

  const auto r = box.run({"prune"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Unused Vorpel packages were pruned.\n");
  EXPECT_EQ(log_since(logged),
            (Names{"pacman -Qq", "pacman -Rsp --print-format %n -- app", "sudo pacman -D --asexplicit -- base",
                   "pacman -D --asexplicit -- base", "sudo pacman -Rns -- app", "pacman -Rns -- app"}));
  EXPECT_EQ(read_file(box.installed_path()), "other\nbase\ncore\ntool\nlib\n");
  EXPECT_EQ(as_deps(), "core\nlib\n");
  EXPECT_NE(read_file(box.state_file()).find("introduced_packages = [\"base\"]\n"), std::string::npos);

  // The prune after the last Profile declaring base is forgotten removes
  // it, and what it pulled in.
  ASSERT_EQ(box.run({"remove", "beta"}).status, 0);
  ASSERT_EQ(box.run({"prune"}).status, 0);
  EXPECT_EQ(read_file(box.installed_path()), "other\ntool\nlib\n");
  EXPECT_NE(read_file(box.state_file()).find("introduced_packages = []\n"), std::string::npos);
}

// A failed marking removes nothing; what was to be marked stays recorded,
// as it was before pacman ran.
TEST_F(PruneDependenciesTest, FailedMarkingRemovesNothing) {
  box.add_profile("alpha", {"app"}, {});
  box.add_profile("beta", {"base"}, {});
  ASSERT_EQ(box.run({"select", "alpha"}).status, 0);
  ASSERT_EQ(box.run({"select", "beta"}).status, 0);
  ASSERT_EQ(box.run({"remove", "alpha"}).status, 0);
  const auto failed = run_with_env(box, {"prune"}, {{"VORPEL_FAKE_CHANGE_EXIT", "1"}});
  EXPECT_EQ(failed.status, 2);
  EXPECT_EQ(failed.err, "error: pacman install reason change failed with exit status: 1\n");
  EXPECT_EQ(read_file(box.installed_path()), "other\napp\nbase\ncore\n");
  EXPECT_NE(read_file(box.state_file()).find("introduced_packages = [\n    \"app\",\n    \"base\",\n]\n"),
            std::string::npos);
}

// `b` declares lib, `c` declares one, `a` declares app, which needs lib.
// Once b and c are forgotten, lib is kept (and stays recorded) for app,
// one goes; later prunes keep doing the same and succeed.
TEST_F(PruneDependenciesTest, KeepsWhatAnInstalledPackageStillRequiresAndRemovesTheRest) {
  write_file(box.root() + "/fake-depends", "app lib\n");
  box.add_profile("b", {"lib"}, {});
  box.add_profile("c", {"one"}, {});
  box.add_profile("a", {"app"}, {});
  for (const char* id : {"b", "c", "a"}) ASSERT_EQ(box.run({"select", id}).status, 0) << id;
  ASSERT_EQ(box.run({"remove", "b"}).status, 0);
  ASSERT_EQ(box.run({"remove", "c"}).status, 0);
  const std::size_t logged = box.fake_log().size();

  const auto r = box.run({"prune"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Kept lib: still required by app.\nUnused Vorpel packages were pruned.\n");
  EXPECT_EQ(log_since(logged), (Names{"pacman -Qq", "pacman -Rsp --print-format %n -- lib one",
                                      "pacman -Rsp --print-format %n -- one", "sudo pacman -Rns -- one",
                                      "pacman -Rns -- one"}));
  EXPECT_EQ(read_file(box.installed_path()), "other\nlib\napp\n");
  EXPECT_NE(read_file(box.state_file()).find("introduced_packages = [\n    \"app\",\n    \"lib\",\n]\n"),
            std::string::npos);

  const std::string state_before = read_file(box.state_file());
  const auto again = box.run({"prune"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out, "Kept lib: still required by app.\nNo unused Vorpel packages could be pruned.\n");
  EXPECT_EQ(read_file(box.state_file()), state_before);
  EXPECT_EQ(read_file(box.installed_path()), "other\nlib\napp\n");
}

TEST(PruneWithoutCandidatesTest, PrintsItsLineAndWritesNoState) {
  Sandbox box;
  const auto r = box.run({"prune"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "No packages are eligible for Vorpel prune.\n");
  EXPECT_EQ(box.fake_log(), Names{});
  // Taking the lock made the directory and the lock file, nothing more.
  EXPECT_EQ(names_in(box.state_dir()), Names{"lock"});
}

}  // namespace
}  // namespace vorpel::testing
