#include "core/activation/plan_application.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/temp_dir.hpp"

namespace vorpel {
namespace {

using testing::file_mode;
using testing::make_dirs;
using testing::make_symlink;
using testing::names_in;
using testing::path_exists;
using testing::read_file;
using testing::read_link;
using testing::remove_tree;
using testing::TempDir;
using testing::tree_image;
using testing::TreeImage;
using testing::write_file;


// HOME, a state directory outside it, and a Profile source.
class ApplyTest : public ::testing::Test {
 protected:
  ApplyTest()
      : home(t / "home"), state_dir(t / "state/vorpel"), state_path(state_dir + "/state.toml"), backups(state_dir + "/backups") {
    make_dirs(home);
  }

  std::string h(const std::string& relative) const { return home + "/" + relative; }
  std::string src(const std::string& relative) const { return t / ("src/" + relative); }
  PlannedWrite write(const std::string& relative) const { return {relative, src(relative), h(relative)}; }

  std::expected<AppliedPlan, FailedApplication> apply(const ActivationPlan& plan) {
    return apply_activation_plan(plan, home, state_path);
  }

  // Backs HOME/f up with a fresh state directory whose "backups" already
  // holds `existing` (backup directories, or stray files where `is_file`
  // says so) and checks that retention took exactly `removed`.
  void expect_retention(const std::vector<std::string>& existing, const std::vector<std::string>& removed,
                        bool (*is_file)(const std::string&) = nullptr) {
    TempDir s;
    state_path = s / "vorpel/state.toml";
    const std::string dir = s / "vorpel/backups";
    for (const auto& name : existing) {
      if (is_file != nullptr && is_file(name)) {
        write_file(dir + "/" + name, "a stray file");
      } else {
        write_file(dir + "/" + name + "/home/x", "x");
      }
    }
    write_file(h("f"), "old");
    const auto done = apply(ActivationPlan{{}, {write("f")}});
    ASSERT_TRUE(done && done->backup.has_value()) << (done ? "" : done.error().error.text());
    EXPECT_EQ(read_file(*done->backup + "/home/f"), "old");
    std::vector<std::string> expected{done->backup.value().substr(dir.size() + 1)};
    for (const auto& name : existing) {
      if (std::find(removed.begin(), removed.end(), name) == removed.end()) expected.push_back(name);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names_in(dir), expected);
  }

  TempDir t;
  std::string home;
  std::string state_dir;
  std::string state_path;
  std::string backups;
};

TEST_F(ApplyTest, NothingToBackUpMakesNoBackup) {
  write_file(src(".config/app/conf"), "new");
  write_file(src(".bashrc"), "rc");
  const auto done = apply(ActivationPlan{{h("given-up")}, {write(".bashrc"), write(".config/app")}});
  ASSERT_TRUE(done) << done.error().error.text();
  EXPECT_FALSE(done->backup.has_value());
  EXPECT_EQ(read_file(h(".config/app/conf")), "new");
  EXPECT_EQ(read_file(h(".bashrc")), "rc");
  EXPECT_FALSE(path_exists(t / "state"));  // not even the state directory

  // an empty plan changes nothing, not even an overfull "backups"
  for (int i = 0; i < 7; ++i) make_dirs(backups + "/" + std::to_string(i));
  const auto empty = apply(ActivationPlan{});
  ASSERT_TRUE(empty);
  EXPECT_FALSE(empty->backup.has_value());
  EXPECT_EQ(names_in(backups).size(), 7u);
}

TEST_F(ApplyTest, GivenUpDirectoryHoldingALaterTargetIsBackedUpOnceAndReplaced) {
  write_file(h("a/b"), "old b");
  write_file(h("a/old"), "old");
  write_file(h("c/d/e"), "e");
  write_file(src("a/b"), "new b");
  write_file(src("c"), "c is a file now");
  // HOME/c/d/e is given up too but lies in the write target HOME/c
  const auto done = apply(ActivationPlan{{h("c/d/e"), h("a")}, {write("a/b"), write("c")}});
  ASSERT_TRUE(done) << done.error().error.text();
  ASSERT_TRUE(done->backup.has_value());
  const std::string backup = *done->backup;
  EXPECT_EQ(names_in(backup + "/home"), (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(read_file(backup + "/home/a/b"), "old b");
  EXPECT_EQ(read_file(backup + "/home/a/old"), "old");
  EXPECT_EQ(read_file(backup + "/home/c/d/e"), "e");
  // the given-up directory went whole, the write created what it needs again
  EXPECT_EQ(names_in(h("a")), std::vector<std::string>{"b"});
  EXPECT_EQ(read_file(h("a/b")), "new b");
  EXPECT_EQ(read_file(h("c")), "c is a file now");
}

TEST_F(ApplyTest, ReselectingTheActiveProfileBacksUpEachPathOnce) {
  write_file(h(".config/app/conf"), "edited in HOME");
  write_file(t / "snapshot/.config/app/conf", "as snapshotted");
  UserState state;
  state.active_profile = "work";
  state.profiles["work"].manage = PathSet{".config/app"};
  const auto plan = build_activation_plan(state, "work", state.profiles["work"], PlanSources{t / "snapshot", {}}, home,
                                          state_path, false);
  ASSERT_TRUE(plan) << plan.error().text();
  ASSERT_EQ(plan->removed, std::vector<std::string>{h(".config/app")});
  const auto done = apply(*plan);
  ASSERT_TRUE(done && done->backup.has_value());
  EXPECT_EQ(names_in(*done->backup + "/home"), std::vector<std::string>{".config"});
  EXPECT_EQ(read_file(*done->backup + "/home/.config/app/conf"), "edited in HOME");
  EXPECT_EQ(read_file(h(".config/app/conf")), "as snapshotted");
}

TEST_F(ApplyTest, LinkAtATargetIsBackedUpAndReplacedNeverFollowed) {
  write_file(t / "outside/app/conf", "outside");
  make_dirs(h(".config"));
  make_symlink(t / "outside/app", h(".config/app"));
  make_symlink("../nowhere", h("dangling"));
  write_file(src(".config/app/conf"), "new");
  write_file(src("dangling"), "now a file");
  const auto done = apply(ActivationPlan{{}, {write(".config/app"), write("dangling")}});
  ASSERT_TRUE(done && done->backup.has_value());
  const std::string backup = *done->backup;
  EXPECT_EQ(read_link(backup + "/home/.config/app"), t / "outside/app");
  EXPECT_EQ(read_link(backup + "/home/dangling"), "../nowhere");
  EXPECT_TRUE(S_ISDIR(file_mode(h(".config/app"))));
  EXPECT_EQ(read_file(h(".config/app/conf")), "new");
  EXPECT_EQ(read_file(h("dangling")), "now a file");
  EXPECT_EQ(names_in(t / "outside/app"), std::vector<std::string>{"conf"});
  EXPECT_EQ(read_file(t / "outside/app/conf"), "outside");
}

TEST_F(ApplyTest, BackupDirectoryNameModesAndCopies) {
  make_dirs(state_dir);
  ASSERT_EQ(::chmod(state_dir.c_str(), 0755), 0);
  make_dirs(backups);
  ASSERT_EQ(::chmod(backups.c_str(), 0751), 0);
  write_file(h("secret"), "s");
  ASSERT_EQ(::chmod(h("secret").c_str(), 0400), 0);
  write_file(src("secret"), "new");
  const auto done = apply(ActivationPlan{{}, {write("secret")}});
  ASSERT_TRUE(done && done->backup.has_value());
  const std::string backup = *done->backup;
  const std::string name = backup.substr(backups.size() + 1);
  ASSERT_EQ(backup.substr(0, backups.size() + 1), backups + "/");
  const std::string suffix = "-" + std::to_string(::getpid());
  ASSERT_TRUE(name.ends_with(suffix)) << name;
  const std::string nanos = name.substr(0, name.size() - suffix.size());
  EXPECT_GE(nanos.size(), 19u);
  EXPECT_TRUE(std::all_of(nanos.begin(), nanos.end(), [](char c) { return c >= '0' && c <= '9'; })) << name;
  EXPECT_NE(nanos[0], '0');
  for (const auto& dir : {state_dir, backups, backup}) EXPECT_EQ(file_mode(dir) & 07777, 0700u) << dir;
  EXPECT_EQ(file_mode(backup + "/home/secret") & 07777, 0400u);
  EXPECT_EQ(read_file(h("secret")), "new");
}

// On one file system each chosen path is moved: the backup holds the very
// files HOME held, with their inodes, bits and link texts.
TEST_F(ApplyTest, BackupMovesEachChosenPathWhole) {
  const std::string odd = "odd\nname\xff";
  write_file(h(".config/app/conf"), "conf");
  make_symlink("conf", h(".config/app/link"));
  ASSERT_EQ(::chmod(h(".config/app/conf").c_str(), 0640), 0);
  ASSERT_EQ(::chmod(h(".config/app").c_str(), 0750), 0);
  write_file(h(".config/keep"), "not touched");
  write_file(h("a/b"), "b");
  write_file(h("a/c"), "c");
  write_file(h(odd), "odd");
  write_file(src(".config/app/conf"), "new conf");
  write_file(src("a/b"), "new b");
  const TreeImage app = tree_image(h(".config/app"));
  const TreeImage a = tree_image(h("a"));
  struct stat odd_st {};
  ASSERT_EQ(::lstat(h(odd).c_str(), &odd_st), 0);

  // HOME/a is given up and holds the later target HOME/a/b
  const auto done = apply(ActivationPlan{{h(odd), h("a")}, {write(".config/app"), write("a/b")}});
  ASSERT_TRUE(done && done->backup.has_value()) << (done ? "" : done.error().error.text());
  const std::string saved = *done->backup + "/home/";
  EXPECT_EQ(tree_image(saved + ".config/app"), app);
  EXPECT_EQ(tree_image(saved + "a"), a);
  struct stat moved_st {};
  ASSERT_EQ(::lstat((saved + odd).c_str(), &moved_st), 0);
  EXPECT_EQ(moved_st.st_ino, odd_st.st_ino);
  EXPECT_EQ(names_in(saved), (std::vector<std::string>{".config", "a", odd}));
  EXPECT_EQ(names_in(saved + ".config"), std::vector<std::string>{"app"});

  EXPECT_EQ(read_file(h(".config/app/conf")), "new conf");
  EXPECT_FALSE(path_exists(h(".config/app/link")));
  EXPECT_EQ(read_file(h(".config/keep")), "not touched");
  EXPECT_EQ(names_in(h("a")), std::vector<std::string>{"b"});
  EXPECT_EQ(read_file(h("a/b")), "new b");
  EXPECT_FALSE(path_exists(h(odd)));
}

// A tree the copy would refuse is refused before anything moves: HOME ends
// as it was, to the inode, and no backup directory is left.
TEST_F(ApplyTest, RefusedTreeChangesNothing) {
  write_file(h(".bashrc"), "rc");
  write_file(h(".config/app/conf"), "conf");
  write_file(h(".local/share/app/data/x"), "x");
  ASSERT_EQ(::mkfifo(h(".local/share/app/data/pipe").c_str(), 0600), 0);
  write_file(h(".local/share/app/data/z"), "z");
  for (const char* f : {".bashrc", ".config/app/conf", ".local/share/app/data/x"}) write_file(src(f), "new");
  const TreeImage before = tree_image(home);

  // .bashrc and .config come first in depth order, and their steps too
  const auto done = apply(ActivationPlan{{}, {write(".bashrc"), write(".config"), write(".local/share/app")}});
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().error.text(), "unsupported backup target " + h(".local/share/app/data/pipe"));
  EXPECT_FALSE(done.error().backup);
  EXPECT_EQ(tree_image(home), before);
  EXPECT_EQ(names_in(backups), std::vector<std::string>{});
}

// A step that fails leaves every later path as it was; what the steps
// before it removed or overwrote is in the backup it names, whether that
// lies on HOME's file system (moved) or on another one (copied).
TEST_F(ApplyTest, FailedStepLeavesLaterPathsAndNamesTheBackup) {
  std::string other = "/dev/shm/vorpel-test-XXXXXX";
  if (::mkdtemp(other.data()) == nullptr) other.clear();
  for (const std::string& state : {state_path, other.empty() ? std::string() : other + "/vorpel/state.toml"}) {
    if (state.empty()) continue;
    TempDir t2;
    const std::string home2 = t2 / "home";
    write_file(home2 + "/g/file", "given up");
    write_file(home2 + "/a", "old a");
    write_file(home2 + "/b/inner", "old b");
    write_file(home2 + "/c/inner", "old c");
    write_file(t2 / "src/a", "new a");
    write_file(t2 / "src/c", "new c");  // no source for b: its write fails
    const TreeImage before = tree_image(home2);
    const auto w = [&](const std::string& r) { return PlannedWrite{r, t2 / ("src/" + r), home2 + "/" + r}; };
    const auto done = apply_activation_plan(ActivationPlan{{home2 + "/g"}, {w("a"), w("b"), w("c")}}, home2, state);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().error.text(), "I/O at " + t2 / "src/b" + ": No such file or directory (os error 2)");
    ASSERT_TRUE(done.error().backup) << state;
    const std::string saved = *done.error().backup + "/home";
    EXPECT_EQ(names_in(saved), (std::vector<std::string>{"a", "b", "g"}));
    EXPECT_EQ(read_file(saved + "/g/file"), "given up");
    EXPECT_EQ(read_file(saved + "/a"), "old a");
    EXPECT_EQ(read_file(saved + "/b/inner"), "old b");
    EXPECT_EQ(read_file(home2 + "/a"), "new a");
    EXPECT_FALSE(path_exists(home2 + "/b"));
    EXPECT_FALSE(path_exists(home2 + "/g"));
    // c is untouched, to the inode
    const TreeImage after = tree_image(home2);
    for (const char* path : {"/c", "/c/inner"}) EXPECT_EQ(after.at(path), before.at(path)) << path;
  }
  if (!other.empty()) remove_tree(other);
}

// Backup directories holding nothing (what failed runs of an earlier
// version left) are not counted: they push no real backup out.
TEST_F(ApplyTest, RetentionDoesNotCountEmptyBackups) {
  for (const char* empty : {"0-1", "0-2", "0-3"}) make_dirs(backups + "/" + empty);
  make_dirs(backups + "/0-4/home");
  for (int i = 1; i <= 4; ++i) write_file(backups + "/1-" + std::to_string(i) + "/home/x", "x");
  write_file(h("f"), "old");
  write_file(src("f"), "new");
  const auto done = apply(ActivationPlan{{}, {write("f")}});
  ASSERT_TRUE(done && done->backup) << (done ? "" : done.error().error.text());
  EXPECT_TRUE(done->kept.empty());
  std::vector<std::string> expected{"0-1", "0-2", "0-3", "0-4", "1-1", "1-2", "1-3", "1-4",
                                    done->backup->substr(backups.size() + 1)};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names_in(backups), expected);

  // one more real one: the oldest real backup goes, the empty ones stay
  write_file(src("f"), "newer");
  const auto next = apply(ActivationPlan{{}, {write("f")}});
  ASSERT_TRUE(next && next->backup);
  expected.erase(std::find(expected.begin(), expected.end(), "1-1"));
  expected.push_back(next->backup->substr(backups.size() + 1));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names_in(backups), expected);
}

// Where the backup lies on another file system nothing can be moved: each
// path is copied, with the same result in the backup and in HOME.
TEST(ApplyAcrossFileSystems, CopiesWhatItCannotMove) {
  TempDir t;
  std::string other = "/dev/shm/vorpel-test-XXXXXX";
  struct stat home_st {}, other_st {};
  ASSERT_EQ(::stat(t.path().c_str(), &home_st), 0);
  if (::mkdtemp(other.data()) == nullptr) GTEST_SKIP() << "no /dev/shm to hold a state directory";
  ASSERT_EQ(::stat(other.c_str(), &other_st), 0);
  if (other_st.st_dev == home_st.st_dev) {
    remove_tree(other);
    GTEST_SKIP() << "/dev/shm is on the same file system as TMPDIR";
  }
  const std::string home = t / "home";
  write_file(home + "/.config/app/conf", "conf");
  ASSERT_EQ(::chmod((home + "/.config/app/conf").c_str(), 0604), 0);
  make_symlink("conf", home + "/.config/app/link");
  write_file(home + "/.bashrc", "rc");
  write_file(t / "src/app/conf", "new");
  write_file(t / "src/bashrc", "new rc");
  const auto done = apply_activation_plan(
      ActivationPlan{{home + "/.bashrc"}, {{".config/app", t / "src/app", home + "/.config/app"}}}, home,
      other + "/vorpel/state.toml");
  ASSERT_TRUE(done && done->backup.has_value()) << (done ? "" : done.error().error.text());
  const std::string saved = *done->backup + "/home";
  EXPECT_EQ(read_file(saved + "/.bashrc"), "rc");
  EXPECT_EQ(read_file(saved + "/.config/app/conf"), "conf");
  EXPECT_EQ(file_mode(saved + "/.config/app/conf") & 07777, 0604u);
  EXPECT_EQ(read_link(saved + "/.config/app/link"), "conf");
  EXPECT_FALSE(path_exists(home + "/.bashrc"));
  EXPECT_EQ(names_in(home + "/.config/app"), std::vector<std::string>{"conf"});
  EXPECT_EQ(read_file(home + "/.config/app/conf"), "new");
  remove_tree(other);
}

TEST_F(ApplyTest, RetentionKeepsTheFiveGreatestNamesWhateverTheirKind) {
  write_file(src("f"), "f");
  // Stamps sort as text: "9" comes after every stamp of today, ".x" before all.
  const struct { std::vector<std::string> existing; std::vector<std::string> removed; } cases[] = {
      {{"0", "1000-1", "9", ".hidden"}, {}},
      {{"0", "1000-1", "9", ".hidden", "05"}, {".hidden"}},
      {{".a", ".b", "0", "00", "1", "2", "9"}, {".a", ".b", "0"}},
  };
  for (const auto& c : cases) {
    ASSERT_NO_FATAL_FAILURE(
        expect_retention(c.existing, c.removed, [](const std::string& name) { return name.starts_with("1"); }));
  }
}

TEST_F(ApplyTest, RetentionRemovesBackupsOfReadOnlyDirectories) {
  // Backups keep the bits of what they copied from HOME; a read-only
  // directory among the oldest must still go, or every later backup would
  // fail at retention.
  write_file(backups + "/00/home/old/file", "y");
  ASSERT_EQ(chmod((backups + "/00/home/old").c_str(), 0500), 0);
  ASSERT_EQ(chmod((backups + "/00/home").c_str(), 0555), 0);
  for (int i = 1; i < 5; ++i) write_file(backups + "/0" + std::to_string(i) + "/home/x", "x");
  write_file(h("f"), "old");
  write_file(src("f"), "new");

  const auto done = apply(ActivationPlan{{}, {write("f")}});
  ASSERT_TRUE(done && done->backup.has_value()) << (done ? "" : done.error().error.text());
  EXPECT_FALSE(path_exists(backups + "/00"));
  EXPECT_EQ(names_in(backups).size(), 5u);
}

TEST_F(ApplyTest, EscapingPlanChangesNothing) {
  write_file(h("x"), "x");
  write_file(t / "outside/y", "y");
  write_file(src("x"), "new");
  const struct { ActivationPlan plan; std::string named; } cases[] = {
      {{{}, {write("x"), PlannedWrite{"y", src("x"), t / "outside/y"}}}, t / "outside/y"},
      {{{t / "outside"}, {write("x")}}, t / "outside"},
      {{{h("../outside/y")}, {write("x")}}, h("../outside/y")},
      {{{}, {write("x"), PlannedWrite{"h", src("x"), t / "homework"}}}, t / "homework"},
  };
  for (const auto& c : cases) {
    const auto done = apply(c.plan);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().error.text(), "backup target " + c.named + " escapes HOME");
  }
  EXPECT_EQ(read_file(h("x")), "x");
  EXPECT_EQ(read_file(t / "outside/y"), "y");
  EXPECT_FALSE(path_exists(t / "state"));
  EXPECT_FALSE(path_exists(t / "homework"));
}

TEST_F(ApplyTest, StatePathWithoutParentChangesNothing) {
  write_file(h("x"), "x");
  write_file(src("x"), "new");
  const auto done = apply_activation_plan(ActivationPlan{{}, {write("x")}}, home, "/");
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().error.text(), "state path has no parent");
  EXPECT_EQ(read_file(h("x")), "x");
}

TEST_F(ApplyTest, FailedWriteKeepsTheBackupAndSkipsRetention) {
  for (int i = 0; i < 6; ++i) make_dirs(backups + "/0" + std::to_string(i));
  write_file(h("a"), "old a");
  write_file(h("b"), "old b");
  write_file(src("a"), "new a");
  const auto done = apply(ActivationPlan{{}, {write("a"), write("b")}});
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().error.text(), "I/O at " + src("b") + ": No such file or directory (os error 2)");
  EXPECT_EQ(read_file(h("a")), "new a");
  EXPECT_FALSE(path_exists(h("b")));  // removed before its copy failed
  const auto names = names_in(backups);
  ASSERT_EQ(names.size(), 7u);
  EXPECT_EQ(read_file(backups + "/" + names.back() + "/home/b"), "old b");
}

// A candidate whose status cannot be read, other than for its absence,
// would fail its own removal; it fails before anything changes instead.
TEST_F(ApplyTest, CandidateWhoseStatusCannotBeReadFailsBeforeAnyChange) {
  write_file(h("y"), "y");
  write_file(h("file"), "a file where a directory is needed");
  write_file(src("y"), "new");
  write_file(src("file/x"), "x");
  struct Case {
    ActivationPlan plan;
    std::string error;
  };
  std::vector<Case> cases{
      {{{}, {write("y"), write("file/x")}}, "I/O at " + h("file/x") + ": Not a directory (os error 20)"},
  };
  if (::geteuid() != 0) {
    write_file(h("locked/x"), "x");
    ASSERT_EQ(::chmod(h("locked").c_str(), 0000), 0);
    cases.push_back({{{h("locked/x")}, {write("y")}}, "I/O at " + h("locked/x") + ": Permission denied (os error 13)"});
  }
  // (the locked directory cannot be imaged by its owner either)
  const TreeImage before = tree_image(home, h("locked"));
  for (const auto& c : cases) {
    const auto done = apply(c.plan);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error().error.text(), c.error);
    EXPECT_FALSE(done.error().backup);
    EXPECT_EQ(tree_image(home, h("locked")), before);
    EXPECT_FALSE(path_exists(t / "state"));
  }
  // Below a given-up file the same path is no fault: the file leaves first.
  const auto done = apply(ActivationPlan{{h("file")}, {write("file/x")}});
  ASSERT_TRUE(done && done->backup) << (done ? "" : done.error().error.text());
  EXPECT_EQ(read_file(*done->backup + "/home/file"), "a file where a directory is needed");
  EXPECT_EQ(read_file(h("file/x")), "x");
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod(h("locked").c_str(), 0700), 0);
  }
}

// "backups" is the tool's own name: a link there must not carry the backup,
// its mode or its trimming elsewhere. The state directory itself may be a
// link, as where it lies is the user's choice.
TEST_F(ApplyTest, LinkAtBackupsIsRefusedBeforeHomeChanges) {
  make_dirs(t / "outside");
  for (int i = 0; i < 6; ++i) write_file(t / ("outside/0" + std::to_string(i) + "/file"), "keep");
  ASSERT_EQ(::chmod((t / "outside").c_str(), 0755), 0);
  make_dirs(state_dir);
  make_symlink(t / "outside", backups);
  write_file(h("f"), "old");
  write_file(src("f"), "new");
  const auto done = apply(ActivationPlan{{}, {write("f")}});
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().error.text(), "I/O at " + backups + ": Too many levels of symbolic links (os error 40)");
  EXPECT_EQ(read_file(h("f")), "old");
  EXPECT_EQ(names_in(t / "outside"), (std::vector<std::string>{"00", "01", "02", "03", "04", "05"}));
  EXPECT_EQ(file_mode(t / "outside") & 07777, 0755u);
}

TEST_F(ApplyTest, StateDirectoryMayBeALink) {
  make_dirs(t / "disk/vorpel");
  ASSERT_EQ(::chmod((t / "disk/vorpel").c_str(), 0755), 0);
  make_dirs(t / "state");
  make_symlink(t / "disk/vorpel", state_dir);
  write_file(h("f"), "old");
  write_file(src("f"), "new");
  const auto done = apply(ActivationPlan{{}, {write("f")}});
  ASSERT_TRUE(done && done->backup.has_value()) << (done ? "" : done.error().error.text());
  EXPECT_EQ(read_file(*done->backup + "/home/f"), "old");
  EXPECT_EQ(names_in(t / "disk/vorpel"), std::vector<std::string>{"backups"});
  EXPECT_EQ(file_mode(t / "disk/vorpel") & 07777, 0700u);
}

// Stray names sorting after a stamp, or a clock set back, put the new backup
// among the oldest; it holds the only copy of what was just overwritten.
TEST_F(ApplyTest, RetentionNeverRemovesTheBackupJustMade) {
  write_file(src("f"), "new");
  const struct { std::vector<std::string> existing; std::vector<std::string> removed; } cases[] = {
      {{"README", "notes", "old1", "old2", "old3"}, {"README"}},
      {{"90-1", "91-1", "92-1", "93-1", "94-1"}, {"90-1"}},
      {{"90-1", "91-1", "92-1", "93-1", "94-1", "95-1", "96-1"}, {"90-1", "91-1", "92-1"}},
      {{".old", "0-1", "90-1", "91-1", "92-1", "93-1"}, {".old", "0-1"}},
  };
  for (const auto& c : cases) ASSERT_NO_FATAL_FAILURE(expect_retention(c.existing, c.removed));
}

// The planner keeps the state directory out of every plan; should one hold
// it all the same, the backup refuses it before anything in HOME changes.
TEST_F(ApplyTest, TargetHoldingTheStateDirectoryIsRefused) {
  const std::string inner_state = h(".config/st/vorpel");
  write_file(inner_state + "/state.toml", "schema = 5\n");
  write_file(h(".config/rc"), "old");
  write_file(src(".config/rc"), "new");
  const auto done = apply_activation_plan(ActivationPlan{{}, {write(".config")}}, home, inner_state + "/state.toml");
  ASSERT_FALSE(done);
  EXPECT_EQ(done.error().error.text(),
            "I/O at " + h(".config/st/vorpel") + ": the state directory cannot be copied into its own backup");
  EXPECT_EQ(read_file(h(".config/rc")), "old");
  EXPECT_EQ(read_file(inner_state + "/state.toml"), "schema = 5\n");
}

TEST(CreatePrivateDir, CreatesAncestorsAndNarrowsOnlyTheDirectory) {
  TempDir t;
  const mode_t old_mask = ::umask(022);
  ASSERT_TRUE(create_private_dir(t / "a/b/c"));
  ::umask(old_mask);
  EXPECT_EQ(file_mode(t / "a/b/c") & 07777, 0700u);
  EXPECT_EQ(file_mode(t / "a/b") & 07777, 0755u);
  ASSERT_EQ(::chmod((t / "a/b/c").c_str(), 0777), 0);
  ASSERT_TRUE(create_private_dir(t / "a/b/c"));
  EXPECT_EQ(file_mode(t / "a/b/c") & 07777, 0700u);
  write_file(t / "file", "x");
  EXPECT_EQ(create_private_dir(t / "file").error().text(), "I/O at " + t / "file" + ": File exists (os error 17)");
}

TEST(CreatePrivateDir, LinkAtTheNameIsNeitherFollowedNorChanged) {
  TempDir t;
  make_dirs(t / "outside");
  ASSERT_EQ(::chmod((t / "outside").c_str(), 0755), 0);
  make_symlink(t / "outside", t / "to-dir");
  make_symlink(t / "nowhere/made", t / "dangling");
  for (const std::string name : {"to-dir", "to-dir/", "dangling"}) {
    const auto made = create_private_dir(t / name);
    ASSERT_FALSE(made) << name;
    EXPECT_EQ(made.error().text(), "I/O at " + t / name + ": Too many levels of symbolic links (os error 40)");
  }
  EXPECT_EQ(file_mode(t / "outside") & 07777, 0755u);
  EXPECT_FALSE(path_exists(t / "nowhere"));
  // links above the name are the user's to make
  ASSERT_TRUE(create_private_dir(t / "to-dir/new"));
  EXPECT_EQ(file_mode(t / "outside/new") & 07777, 0700u);
  EXPECT_EQ(file_mode(t / "outside") & 07777, 0755u);
}

}  // namespace
}  // namespace vorpel
