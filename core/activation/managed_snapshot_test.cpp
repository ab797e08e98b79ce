#include "core/activation/managed_snapshot.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/temp_dir.hpp"

namespace vorpel {
namespace {

using testing::make_dirs;
using testing::path_exists;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

TEST(ManagedSnapshotDir, BelowTheStateDirectory) {
  EXPECT_EQ(managed_snapshot_dir("/home/u/.local/state/vorpel/state.toml", "work"),
            "/home/u/.local/state/vorpel/profiles/work/managed");
  EXPECT_EQ(managed_snapshot_dir("state.toml", "w"), "profiles/w/managed");
  ASSERT_FALSE(managed_snapshot_dir("/", "w"));
  EXPECT_EQ(managed_snapshot_dir("/", "w").error().text(), "state path has no parent");
}

Profile profile_at(const std::string& content_root, PathSet manage) {
  Profile p;
  p.id = "work";
  p.name = "Work";
  p.content_root = content_root;
  p.manage = std::move(manage);
  return p;
}

TEST(RefreshManagedSnapshot, CopiesOnlyManagedPathsAndReplacesTheOldSnapshot) {
  TempDir t;
  write_file(t / "content/.config/app/conf", "v1");
  write_file(t / "content/.bashrc", "rc");
  write_file(t / "content/seed-only", "not kept");
  const std::string snapshot = *managed_snapshot_dir(t / "state/vorpel/state.toml", "work");

  ASSERT_TRUE(refresh_managed_snapshot(profile_at(t / "content", {".config/app", ".bashrc"}), snapshot));
  EXPECT_EQ(read_file(snapshot + "/.config/app/conf"), "v1");
  EXPECT_EQ(read_file(snapshot + "/.bashrc"), "rc");
  EXPECT_FALSE(path_exists(snapshot + "/seed-only"));

  // the managed set lost .bashrc; a stray file in the snapshot goes too
  write_file(snapshot + "/stray", "s");
  write_file(t / "content/.config/app/conf", "v2");
  ASSERT_TRUE(refresh_managed_snapshot(profile_at(t / "content", {".config/app"}), snapshot));
  EXPECT_EQ(read_file(snapshot + "/.config/app/conf"), "v2");
  EXPECT_FALSE(path_exists(snapshot + "/.bashrc"));
  EXPECT_FALSE(path_exists(snapshot + "/stray"));

  ASSERT_TRUE(refresh_managed_snapshot(profile_at(t / "content", {}), snapshot));
  EXPECT_TRUE(path_exists(snapshot));
  EXPECT_FALSE(path_exists(snapshot + "/.config"));
}

TEST(RefreshManagedSnapshot, FailureLeavesAPartialSnapshot) {
  TempDir t;
  write_file(t / "content/a", "a");
  write_file(t / "content/c", "c");
  const std::string snapshot = t / "profiles/work/managed";
  write_file(snapshot + "/old", "old");
  const auto refreshed = refresh_managed_snapshot(profile_at(t / "content", {"a", "b", "c"}), snapshot);
  ASSERT_FALSE(refreshed);
  EXPECT_EQ(refreshed.error().text(),
            "I/O at " + t / "content/b" + ": No such file or directory (os error 2)");
  EXPECT_TRUE(path_exists(snapshot + "/a"));
  EXPECT_FALSE(path_exists(snapshot + "/c"));
  EXPECT_FALSE(path_exists(snapshot + "/old"));

  ASSERT_EQ(::symlink("a", (t / "content/link").c_str()), 0);
  EXPECT_EQ(refresh_managed_snapshot(profile_at(t / "content", {"link"}), snapshot).error().text(),
            "profile content may not contain symbolic link " + t / "content/link");
}

TEST(RefreshManagedSnapshot, UnusableLocationIsAnErrorForTheSnapshotDirectory) {
  TempDir t;
  write_file(t / "profiles", "a file where the directory should be");
  const std::string snapshot = t / "profiles/work/managed";
  EXPECT_EQ(refresh_managed_snapshot(profile_at(t / "content", {}), snapshot).error().text(),
            "I/O at " + snapshot + ": Not a directory (os error 20)");
}

}  // namespace
}  // namespace vorpel
