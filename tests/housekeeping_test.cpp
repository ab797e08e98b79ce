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

TEST_F(HousekeepingTest, PruneRemovesInstalledCandidatesAndDropsStaleOnes) {
  box.set_installed({"z", "c", "b", "a"});
  const auto r = box.run({"prune"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Unused Vorpel packages were pruned.\n");
  // "b" is still declared by `home`; "a" and "c" go in byte order.
  EXPECT_EQ(box.fake_log(), (Names{"pacman -Qq", "sudo pacman -Rns -- a c", "pacman -Rns -- a c"}));
  EXPECT_EQ(read_file(box.installed_path()), "z\nb\n");
  EXPECT_NE(read_file(box.state_file()).find("introduced_packages = [\"b\"]\n"), std::string::npos);

  // Now only stale records are left once `home` is forgotten and "b" is gone.
  ASSERT_EQ(box.run({"remove", "home"}).status, 0);
  box.set_installed({"z"});
  const auto stale = box.run({"prune"});
  ASSERT_EQ(stale.status, 0) << stale.err;
  EXPECT_EQ(stale.out, "Removed stale Vorpel package records; no installed packages required pruning.\n");
  EXPECT_EQ(box.fake_log().size(), 4u);  // one more query, no sudo
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
