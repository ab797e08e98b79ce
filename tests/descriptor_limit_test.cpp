// Content trees against the open-file limit, end to end under a lowered
// limit: the tool raises its soft limit to the hard one, and a tree that
// the hard limit still cannot copy is refused alike by validate, plan and
// select before anything changes.
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/deep_tree.hpp"
#include "tests/support/root_setup.hpp"
#include "tests/support/sandbox.hpp"

namespace vorpel::testing {
namespace {

constexpr const char* kPrlimit = "/usr/bin/prlimit";
constexpr std::size_t kDepth = 600;

// The binary in the sandbox with the open-file limit set to soft:hard.
RunResult run_limited(const Sandbox& box, const std::string& limit, const std::vector<std::string>& args) {
  std::vector<std::string> argv{kPrlimit, "--nofile=" + limit, "--", vorpel_binary()};
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.env = box.env;
  return run_program(argv, options);
}

// Whether this process may start one with the limit soft:hard: a hard limit
// above its own needs a privilege that a lowered `ulimit -n` (or a
// container's root) may lack.
bool limit_settable(const std::string& limit) {
  return run_program({kPrlimit, "--nofile=" + limit, "--", "/bin/true"}, RunOptions{}).status == 0;
}

class DescriptorLimitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kPrlimit, X_OK) != 0) GTEST_SKIP() << "prlimit is not installed";
    box.add_profile("deep", {"zsh"}, {".cfg"});
    make_dirs(box.content_root("deep") + "/.cfg");
    make_deep_dirs(box.content_root("deep") + "/.cfg", kDepth, "d", "leaf");
    box.write_home(".cfg/mine", "mine\n");
  }
  Sandbox box;
};

// What each command prints about the tree, and how it ends.
struct Refusal {
  const char* name;
  std::vector<std::string> args;
  std::string error_line;  // the last line on standard error; empty: only the warning
};

// 1024: the walk of the check alone, one descriptor per level, would get
// through the tree that the copies, two per level, cannot.
class HardLimitTest : public DescriptorLimitTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(HardLimitTest, TreeTheHardLimitCannotCopyIsRefusedAlikeBeforeAnythingChanges) {
  if (!limit_settable(GetParam())) GTEST_SKIP() << "this process may not raise its hard limit to " << GetParam();
  const TreeImage home_before = tree_image(box.home(), box.home() + "/.local");
  const std::string warning_start = "invalid profile " + box.profile_root() + "/deep/profile.toml: I/O at " +
                                    box.content_root("deep") + "/.cfg/d/";
  const std::string warning_end = ": Too many open files (os error 24)";
  const std::vector<Refusal> cases{
      {"validate", {"validate", box.profile_root()}, ""},
      {"plan", {"plan", "deep"}, "error: unknown Profile deep"},
      {"select", {"select", "deep"}, "error: unknown Profile deep"},
  };
  std::string first_warning;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const RunResult r = run_limited(box, GetParam(), c.args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out, "");
    const auto lines = lines_of(r.err);
    ASSERT_FALSE(lines.empty());
    const std::string& warning = lines.front();
    EXPECT_TRUE(warning.starts_with(warning_start) && warning.ends_with(warning_end)) << warning;
    if (first_warning.empty()) first_warning = warning;
    EXPECT_EQ(warning, first_warning) << "every command names the same directory";
    if (!c.error_line.empty()) {
      ASSERT_EQ(lines.size(), 2u) << r.err;
      EXPECT_EQ(lines.back(), c.error_line);
    } else {
      EXPECT_EQ(lines.size(), 1u) << r.err;
    }
  }
  EXPECT_EQ(tree_image(box.home(), box.home() + "/.local"), home_before);
  EXPECT_FALSE(path_exists(box.state_dir() + "/profiles/deep"));
  EXPECT_FALSE(path_exists(box.state_file()));
  EXPECT_TRUE(box.fake_log().empty());
}

INSTANTIATE_TEST_SUITE_P(Limits, HardLimitTest, ::testing::Values("256:256", "1024:1024"));

// A low soft limit alone stops nothing: the tool raises it to the hard one.
TEST_F(DescriptorLimitTest, LowSoftLimitIsRaisedToTheHardOne) {
  if (!limit_settable("64:4096")) GTEST_SKIP() << "this process may not raise its hard limit to 4096";
  box.set_installed({"zsh"});
  const RunResult validated = run_limited(box, "64:4096", {"validate", box.profile_root()});
  EXPECT_EQ(validated.status, 0) << validated.err;
  const RunResult selected = run_limited(box, "64:4096", {"select", "deep"});
  ASSERT_EQ(selected.status, 0) << selected.err;
  EXPECT_EQ(read_file(box.home() + "/.cfg/" + deep_relative_path(kDepth, "leaf")), "leaf");
  EXPECT_EQ(read_file(box.state_dir() + "/profiles/deep/managed/.cfg/" + deep_relative_path(kDepth, "leaf")), "leaf");
}

// The room kept for the rest of a command is enough: a tree close to the
// limit is copied whole, into the snapshot and into HOME.
TEST_F(DescriptorLimitTest, TreeCloseToTheLimitIsCopied) {
  constexpr std::size_t kNear = 100;  // 256 descriptors leave room for about 110 levels
  box.add_profile("near", {}, {".near"});
  make_dirs(box.content_root("near") + "/.near");
  make_deep_dirs(box.content_root("near") + "/.near", kNear, "d", "leaf");
  const RunResult selected = run_limited(box, "256:256", {"select", "near"});
  ASSERT_EQ(selected.status, 0) << selected.err;
  EXPECT_EQ(read_file(box.home() + "/.near/" + deep_relative_path(kNear, "leaf")), "leaf");
  const RunResult again = run_limited(box, "256:256", {"select", "near"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_FALSE(backup_dir_of(again.out).empty()) << again.out;
}

// A given-up HOME tree that the backup could copy only with more
// descriptors than the limit allows is refused before anything changes,
// whether the state directory shares HOME's file system (where a rename
// would have moved it) or not (where the copy would have failed half-way).
class DeepHomeTreeTest : public ::testing::TestWithParam<bool> {};

TEST_P(DeepHomeTreeTest, IsRefusedAlikeOnOneFileSystemOrTwo) {
  if (::access(kPrlimit, X_OK) != 0) GTEST_SKIP() << "prlimit is not installed";
  const bool two_file_systems = GetParam();
  if (two_file_systems && ::geteuid() != 0) GTEST_SKIP() << "needs root (euid 0) to mount the state directory";
  Sandbox box;
  std::optional<ScopedMount> state_mount;
  std::string state_dir = box.state_dir();
  if (two_file_systems) {
    const std::string state_home = box.root() + "/state";
    make_dirs(state_home);
    state_mount = ScopedMount::tmpfs(state_home, "16m");
    ASSERT_TRUE(state_mount);
    box.env["XDG_STATE_HOME"] = state_home;
    state_dir = state_home + "/vorpel";
  }
  // ".a" leaves HOME before ".cfg" does.
  box.add_profile("old", {}, {".a", ".cfg"});
  box.write_content("old", ".a", "a\n");
  box.write_content("old", ".cfg/conf", "old\n");
  box.add_profile("fresh", {}, {"p"});
  box.write_content("fresh", "p", "p\n");
  ASSERT_EQ(box.run({"select", "old"}).status, 0);
  // 256 descriptors: the check's walk, one per level, gets through 150
  // levels; a copy, two per level, does not.
  make_deep_dirs(box.home() + "/.cfg", 150, "d", "leaf");
  const TreeImage before = tree_image(box.home(), state_dir);
  const std::string state_before = read_file(state_dir + "/state.toml");

  const RunResult r = run_limited(box, "256:256", {"select", "fresh"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("error: I/O at " + box.home() + "/.cfg/d/")) << r.err;
  EXPECT_NE(r.err.find(": Too many open files (os error 24)"), std::string::npos) << r.err;
  EXPECT_EQ(tree_image(box.home(), state_dir), before);
  EXPECT_EQ(read_file(state_dir + "/state.toml"), state_before);
  EXPECT_TRUE(!path_exists(state_dir + "/backups") || names_in(state_dir + "/backups").empty());
}

INSTANTIATE_TEST_SUITE_P(StateDirectory, DeepHomeTreeTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "on_another_file_system" : "beside_home");
                         });


// Near the limit the check of validate and plan, run with few descriptors
// open, and the one select runs holding its lock and state directory must
// draw the line at the same depth: what validate accepts select copies.
TEST(DescriptorLimitBoundary, EveryCommandDrawsTheLineAtTheSameDepth) {
  if (::access(kPrlimit, X_OK) != 0) GTEST_SKIP() << "prlimit is not installed";
  // About 100 descriptors leave room for some 30 levels; the depths span
  // the line, and two limits of either parity move it by one descriptor.
  for (const char* limit : {"100:100", "101:101"}) {
    bool accepted_some = false;
    bool refused_some = false;
    for (std::size_t depth = 24; depth <= 36; ++depth) {
      SCOPED_TRACE(std::string("limit ") + limit + ", depth " + std::to_string(depth));
      Sandbox box;
      box.add_profile("deep", {}, {".cfg"});
      make_dirs(box.content_root("deep") + "/.cfg");
      make_deep_dirs(box.content_root("deep") + "/.cfg", depth, "d", "leaf");
      const RunResult validated = run_limited(box, limit, {"validate", box.profile_root()});
      const RunResult planned = run_limited(box, limit, {"plan", "deep"});
      const RunResult selected = run_limited(box, limit, {"select", "deep"});
      EXPECT_EQ(planned.status, validated.status) << planned.err;
      EXPECT_EQ(selected.status, validated.status) << selected.err;
      if (selected.status == 0) {
        accepted_some = true;
        EXPECT_EQ(read_file(box.home() + "/.cfg/" + deep_relative_path(depth, "leaf")), "leaf");
      } else {
        refused_some = true;
        EXPECT_FALSE(path_exists(box.state_dir() + "/profiles/deep"));
      }
    }
    EXPECT_TRUE(accepted_some) << limit;
    EXPECT_TRUE(refused_some) << limit;
  }
}

}  // namespace
}  // namespace vorpel::testing
