// End-to-end runs of `plan`: a read-only preview of `select`.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/sandbox.hpp"

namespace vorpel::testing {
namespace {

using Names = std::vector<std::string>;

// The names below a directory, recursively, relative to it.
Names tree_of(const std::string& dir) {
  Names names;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    names.push_back(std::filesystem::relative(it->path(), dir).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PlanTest, FirstActivationListsSeedFilesAndChangesNothing) {
  Sandbox box;
  box.add_profile("work", {"zsh", "git", "vim"}, {".profile", ".config/app"});
  box.write_content("work", ".config/app/conf", "app\n");
  box.write_content("work", ".profile", "work\n");
  box.write_content("work", ".config-x", "seed\n");
  box.write_content("work", "notes/readme", "seed\n");
  box.write_content("work", ".config/app/covered", "under a managed path\n");
  box.write_home(".profile", "mine\n");
  box.write_home("notes/readme", "mine\n");
  box.set_installed({"git"});
  const Names home_before = tree_of(box.home());

  const auto text = box.run({"plan", "work"});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(text.out,
            "Profile: work\nFirst activation: true\nMissing packages: zsh, vim\nPaths removed: 0\nPaths written: 4\n"
            "Existing paths affected: 2\n");
  EXPECT_EQ(text.err, "");

  const auto json = box.run({"plan", "work", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out,
            R"({"existingPathsAffected":[".profile","notes/readme"],"firstActivation":true,)"
            R"("missingPackages":["zsh","vim"],"pathsRemoved":[],)"
            R"("pathsWritten":[".config/app",".config-x",".profile","notes/readme"],"profile":"work"})"
            "\n");

  // Read-only: no change run, no state directory, HOME as it was.
  EXPECT_EQ(box.fake_log(), (Names{"pacman -Qq", "pacman -Qq"}));
  EXPECT_FALSE(path_exists(box.state_dir()));
  EXPECT_EQ(tree_of(box.home()), home_before);
}

TEST(PlanTest, ActiveRetainedProfileIsPlannedFromItsSnapshotAndCountsItsPathsOnce) {
  Sandbox box;
  // Retained and active, declared nowhere any more: only the state and the
  // snapshot know it.
  box.write_state(R"(schema = 5
active_profile = "old"

[profiles.old]
name = "Old"
packages = ["zsh", "git"]
manage = [".vimrc", ".config/old", ".gone"]
)");
  write_file(box.snapshot_dir("old") + "/.vimrc", "set nu\n");
  write_file(box.snapshot_dir("old") + "/.config/old/rc", "x\n");
  write_file(box.snapshot_dir("old") + "/.gone", "x\n");
  box.write_home(".vimrc", "mine\n");
  box.write_home(".config/old/rc", "mine\n");
  box.write_manifest("old", "schema = 4\n");  // rejected: the warning comes first
  const std::string state_before = read_file(box.state_file());

  const auto r = box.run({"plan", "old", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.err.starts_with("invalid profile " + box.profile_root() + "/old/profile.toml: ")) << r.err;
  // Removed deepest first; written in component order; the two existing
  // paths are both removed and written, yet count once; packages in byte
  // order.
  EXPECT_EQ(r.out,
            R"({"existingPathsAffected":[".config/old",".vimrc"],"firstActivation":false,)"
            R"("missingPackages":["git","zsh"],"pathsRemoved":[".config/old",".gone",".vimrc"],)"
            R"("pathsWritten":[".config/old",".gone",".vimrc"],"profile":"old"})"
            "\n");
  const auto text = box.run({"plan", "old"});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_TRUE(text.out.ends_with("Paths removed: 3\nPaths written: 3\nExisting paths affected: 2\n")) << text.out;
  EXPECT_EQ(read_file(box.state_file()), state_before);
  EXPECT_FALSE(path_exists(box.state_dir() + "/lock"));
}

TEST(PlanTest, DanglingSymbolicLinkCountsAsExisting) {
  Sandbox box;
  box.add_profile("work", {}, {".profile"});
  box.write_content("work", ".profile", "work\n");
  std::filesystem::create_symlink(box.root() + "/nowhere", box.home() + "/.profile");

  const auto r = box.run({"plan", "work"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "Profile: work\nFirst activation: true\nMissing packages: \nPaths removed: 0\nPaths written: 1\n"
            "Existing paths affected: 1\n");
}

// A managed path written with a trailing "/" names the same HOME path; what
// stands there (a regular file, a dangling link) must count as existing just
// as `select` then backs it up and replaces it.
TEST(PlanTest, ManagedPathWithTrailingSlashCountsWhatSelectWouldOverwrite) {
  Sandbox box;
  box.add_profile("work", {}, {".config/app/", ".vimrc/"});
  box.write_content("work", ".config/app/conf", "app\n");
  box.write_content("work", ".vimrc/rc", "vim\n");
  box.write_home(".config/app", "a regular file where the directory goes\n");
  std::filesystem::create_symlink(box.root() + "/nowhere", box.home() + "/.vimrc");

  const auto r = box.run({"plan", "work", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            R"({"existingPathsAffected":[".config/app",".vimrc"],"firstActivation":true,"missingPackages":[],)"
            R"("pathsRemoved":[],"pathsWritten":[".config/app/",".vimrc/"],"profile":"work"})"
            "\n");

  const auto selected = box.run({"select", "work"});
  ASSERT_EQ(selected.status, 0) << selected.err;
  ASSERT_TRUE(selected.out.starts_with("Backup: ")) << selected.out;
  const std::string backup = backup_dir_of(selected.out);
  EXPECT_EQ(tree_of(backup + "/home"), (Names{".config", ".config/app", ".vimrc"}));
}

TEST(PlanTest, NoPacmanRunWithoutPackagesEvenWhenPacmanIsMissing) {
  Sandbox box;
  box.add_profile("bare", {}, {".profile"});
  box.write_content("bare", ".profile", "x\n");
  TempDir empty;
  const auto r = run_with_env(box, {"plan", "bare", "--json"}, {{"PATH", empty.path()}});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            R"({"existingPathsAffected":[],"firstActivation":true,"missingPackages":[],"pathsRemoved":[],)"
            R"("pathsWritten":[".profile"],"profile":"bare"})"
            "\n");
  EXPECT_EQ(box.fake_log(), Names{});

  // With packages, a missing pacman is the query's failure, and no report.
  box.add_profile("tools", {"zsh"}, {});
  const auto tools = run_with_env(box, {"plan", "tools"}, {{"PATH", empty.path()}});
  EXPECT_EQ(tools.status, 2);
  EXPECT_EQ(tools.out, "");
  EXPECT_EQ(tools.err, "error: query installed packages with pacman: No such file or directory (os error 2)\n");
}

TEST(PlanTest, FailuresPrintNoReportAndStartPacmanOnlyAfterPlanning) {
  Sandbox box;
  // Retained, but its snapshot is gone: planning fails before any query.
  box.write_state("schema = 5\n\n[profiles.old]\nname = \"old\"\npackages = [\"zsh\"]\n");
  const auto gone = box.run({"plan", "old"});
  EXPECT_EQ(gone.status, 2);
  EXPECT_EQ(gone.out, "");
  EXPECT_EQ(gone.err, "error: profile source " + box.snapshot_dir("old") + " does not exist\n");
  EXPECT_EQ(box.fake_log(), Names{});

  const auto unknown = box.run({"plan", "nope"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.out, "");
  EXPECT_EQ(unknown.err, "error: unknown Profile nope\n");

  box.add_profile("tools", {"zsh"}, {});
  const auto failed = run_with_env(box, {"plan", "tools"},
                                   {{"VORPEL_FAKE_QUERY_EXIT", "1"}, {"VORPEL_FAKE_QUERY_STDERR", "db locked\n"}});
  EXPECT_EQ(failed.status, 2);
  EXPECT_EQ(failed.out, "");
  EXPECT_EQ(failed.err, "error: pacman package query failed with exit status: 1: db locked\n");
  EXPECT_EQ(box.fake_log(), Names{"pacman -Qq"});
}

}  // namespace
}  // namespace vorpel::testing
