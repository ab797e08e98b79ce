#include "core/activation/managed_snapshot.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/support/temp_dir.hpp"

namespace vorpel {
namespace {

using testing::make_dirs;
using testing::make_symlink;
using testing::names_in;
using testing::path_exists;
using testing::read_file;
using testing::TempDir;
using testing::write_file;
using Names = std::vector<std::string>;

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

TEST(RefreshManagedSnapshot, FailureLeavesThePreviousSnapshotWhole) {
  TempDir t;
  write_file(t / "content/a", "a");
  write_file(t / "content/c", "c");
  const std::string snapshot = t / "profiles/work/managed";
  write_file(snapshot + "/old", "old");
  const auto refreshed = refresh_managed_snapshot(profile_at(t / "content", {"a", "b", "c"}), snapshot);
  ASSERT_FALSE(refreshed);
  EXPECT_EQ(refreshed.error().text(),
            "I/O at " + t / "content/b" + ": No such file or directory (os error 2)");
  EXPECT_EQ(names_in(t / "profiles/work"), Names{"managed"});
  EXPECT_EQ(names_in(snapshot), Names{"old"});

  make_symlink("a", t / "content/link");
  EXPECT_EQ(refresh_managed_snapshot(profile_at(t / "content", {"link"}), snapshot).error().text(),
            "profile content may not contain symbolic link " + t / "content/link");
  EXPECT_EQ(names_in(t / "profiles/work"), Names{"managed"});
  EXPECT_EQ(read_file(snapshot + "/old"), "old");
}

// A first snapshot that fails leaves no Profile directory behind.
TEST(RefreshManagedSnapshot, FailedFirstSnapshotLeavesNothing) {
  TempDir t;
  write_file(t / "content/a", "a");
  make_dirs(t / "profiles");
  const auto refreshed = refresh_managed_snapshot(profile_at(t / "content", {"a", "b"}), t / "profiles/work/managed");
  ASSERT_FALSE(refreshed);
  EXPECT_EQ(names_in(t / "profiles"), Names{});
}

TEST(ReplaceManagedSnapshot, UndoPutsThePreviousSnapshotBackAndKeepDropsIt) {
  TempDir t;
  write_file(t / "content/a", "new");
  const std::string snapshot = t / "profiles/work/managed";
  write_file(snapshot + "/a", "old");

  auto undone = replace_managed_snapshot(profile_at(t / "content", {"a"}), snapshot);
  ASSERT_TRUE(undone);
  EXPECT_EQ(read_file(snapshot + "/a"), "new");
  ASSERT_TRUE(undone->undo());
  EXPECT_EQ(read_file(snapshot + "/a"), "old");
  EXPECT_EQ(names_in(t / "profiles/work"), Names{"managed"});

  auto kept = replace_managed_snapshot(profile_at(t / "content", {"a"}), snapshot);
  ASSERT_TRUE(kept);
  kept->keep();
  EXPECT_EQ(read_file(snapshot + "/a"), "new");
  EXPECT_EQ(names_in(t / "profiles/work"), Names{"managed"});
}

TEST(ReplaceManagedSnapshot, UndoOfAFirstSnapshotRemovesIt) {
  TempDir t;
  write_file(t / "content/a", "new");
  make_dirs(t / "profiles");
  const std::string snapshot = t / "profiles/work/managed";
  auto swap = replace_managed_snapshot(profile_at(t / "content", {"a"}), snapshot);
  ASSERT_TRUE(swap);
  EXPECT_EQ(read_file(snapshot + "/a"), "new");
  ASSERT_TRUE(swap->undo());
  EXPECT_EQ(names_in(t / "profiles"), Names{});
}

// Only a missing snapshot with the replaced one beside it is a swap cut off
// between its two renames; anything else is left as it is.
TEST(RestoreInterruptedSwap, PutsBackOnlyASnapshotLeftAsideInPlaceOfNone) {
  struct Case {
    const char* name;
    std::vector<std::string> present;  // of "managed", "managed.old"
    Names after;
    std::string snapshot_text;  // what managed/a holds afterwards; empty: none
  };
  const std::vector<Case> cases{
      {"left aside", {"managed.old"}, {"managed"}, "old"},
      {"both there", {"managed", "managed.old"}, {"managed", "managed.old"}, "current"},
      {"neither", {}, {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir t;
    const std::string profile_dir = t / "profiles/work";
    make_dirs(profile_dir);
    for (const auto& name : c.present) write_file(profile_dir + "/" + name + "/a", name == "managed" ? "current" : "old");
    ASSERT_TRUE(restore_interrupted_swap(profile_dir + "/managed"));
    EXPECT_EQ(names_in(profile_dir), c.after);
    if (!c.snapshot_text.empty()) {
      EXPECT_EQ(read_file(profile_dir + "/managed/a"), c.snapshot_text);
    }
  }
  TempDir t;
  EXPECT_TRUE(restore_interrupted_swap(t / "profiles/none/managed"));  // no Profile directory at all
  EXPECT_FALSE(path_exists(t / "profiles"));
}

TEST(ManagedSnapshotDir, RefusesLinksBelowTheStateDirectory) {
  TempDir t;
  make_dirs(t / "elsewhere/work/managed");
  const std::string state_path = t / "state/state.toml";
  make_dirs(t / "state");
  // The state directory itself may be reached through a link.
  make_symlink(t / "state", t / "state-link");
  EXPECT_TRUE(managed_snapshot_dir(t / "state-link/state.toml", "work"));

  make_symlink(t / "elsewhere", t / "state/profiles");
  const auto refused = managed_snapshot_dir(state_path, "work");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text(),
            "I/O at " + t / "state/profiles" + ": Too many levels of symbolic links (os error 40)");
  EXPECT_EQ(refresh_managed_snapshot(profile_at(t / "content", {}), t / "state/profiles/work/managed").error().text(),
            refused.error().text());
  EXPECT_EQ(names_in(t / "elsewhere/work/managed"), Names{});
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
