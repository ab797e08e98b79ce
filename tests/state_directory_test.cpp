// End-to-end runs around the tool's own state directory: names with a NUL
// byte, a state directory reached through links or "..", links at the names
// the tool owns inside it, and retention next to stray or later names.
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/sandbox.hpp"

namespace vorpel::testing {
namespace {

using namespace std::string_literals;
using Names = std::vector<std::string>;

constexpr const char* kTooManyLinks = "Too many levels of symbolic links (os error 40)";

// --- paths with a NUL byte ----------------------------------------------------

// Cut at the NUL byte, both paths exist in the content root: "a", and the
// state directory's default location.
TEST(NulInPaths, ManifestPathIsRefusedAsMissing) {
  const struct {
    std::string manifest_path;  // as written in TOML
    std::string path;           // as read
    std::string content;
  } cases[] = {
      {"a\\u0000b", "a\0b"s, "a"},
      {".local/state/vorpel\\u0000", ".local/state/vorpel\0"s, ".local/state/vorpel/state.toml"},
  };
  for (const auto& c : cases) {
    Sandbox box;
    box.write_manifest("evil", "schema = 4\nname = \"evil\"\nmanage = [\"" + c.manifest_path + "\"]\n");
    box.write_content("evil", c.content, "x\n");
    const std::string warning = "invalid profile " + box.profile_root() + "/evil/profile.toml: managed path " +
                                c.path + " does not exist in " + box.content_root("evil") + "\n";

    const auto validated = box.run({"validate", box.profile_root()});
    EXPECT_EQ(validated.status, 2);
    EXPECT_EQ(validated.err, warning);
    const auto listed = box.run({"list"});
    EXPECT_EQ(listed.err, warning);
    const auto selected = box.run({"select", "evil"});
    EXPECT_EQ(selected.status, 2);
    EXPECT_EQ(selected.err, warning + "error: unknown Profile evil\n");
    EXPECT_EQ(names_in(box.home()), Names{".local"});  // the lock's directory only
    EXPECT_FALSE(path_exists(box.state_file()));
  }
}

// A retained entry holding such a path fails every plan of it before
// anything changes: HOME/a, which the cut path would name, stays.
TEST(NulInPaths, RetainedEntryFailsBeforeAnythingChanges) {
  const std::string state =
      "schema = 5\nactive_profile = \"p\"\n\n[profiles.p]\nname = \"p\"\nmanage = [\"a\\u0000b\"]\n";
  for (const std::vector<std::string>& args : {Names{"select", "p"}, Names{"plan", "p"}, Names{"update", "p"},
                                               Names{"update"}, Names{"select", "q"}, Names{"plan", "q"}}) {
    Sandbox box;
    box.add_profile("p", {}, {"a"});
    box.write_content("p", "a", "new\n");
    box.add_profile("q", {}, {"q"});
    box.write_content("q", "q", "q\n");
    box.write_state(state);
    write_file(box.snapshot_dir("p") + "/a", "snapshot\n");
    box.write_home("a", "mine\n");

    const auto r = box.run(args);
    EXPECT_EQ(r.status, 2) << args[0];
    EXPECT_EQ(r.out, "") << args[0];
    const std::string shown = "I/O at " + box.home() + "/a\0b"s + ": file name contained an unexpected NUL byte";
    EXPECT_EQ(r.err, "error: " + shown + ": file name contained an unexpected NUL byte\n") << args[0];
    EXPECT_EQ(read_file(box.home() + "/a"), "mine\n");
    EXPECT_EQ(names_in(box.home()), (Names{".local", "a"}));
    EXPECT_FALSE(path_exists(box.state_dir() + "/backups")) << args[0];
    EXPECT_EQ(read_file(box.state_file()), state);
    EXPECT_EQ(read_file(box.snapshot_dir("p") + "/a"), "snapshot\n");
    EXPECT_EQ(box.fake_log(), Names{});
  }
}

// --- the state directory where it really lies --------------------------------

// Links or ".." that hide from the text a target holding the state
// directory: refused before anything in HOME changes, with the state
// directory named as it was derived.
TEST(RealStateDirectory, TargetHoldingTheStateDirectoryIsRefused) {
  const struct {
    std::string name;
    std::string manage;
    std::string xdg;  // relative to HOME; empty: unset
    bool link_local;  // ~/.local -> ~/.config/other/real
  } cases[] = {
      {"LinkedLocal", ".config/other", "", true},
      {"DotDotInStateHome", "st", "x/../st", false},
  };
  for (const auto& c : cases) {
    Sandbox box;
    box.add_profile("evil", {}, {c.manage});
    box.write_content("evil", c.manage + "/rc", "evil\n");
    box.write_home(c.manage + "/keep", "mine\n");
    make_dirs(box.home() + "/.config/other/real");
    make_dirs(box.home() + "/x");
    std::string state_dir = box.state_dir();
    if (c.link_local) make_symlink(box.home() + "/.config/other/real", box.home() + "/.local");
    if (!c.xdg.empty()) {
      box.env["XDG_STATE_HOME"] = c.xdg;
      state_dir = box.home() + "/" + c.xdg + "/vorpel";
    }
    const std::string refusal = "error: configuration path " + box.home() + "/" + c.manage +
                                " overlaps Vorpel state " + state_dir + "\n";

    const auto planned = box.run({"plan", "evil"});
    EXPECT_EQ(planned.status, 2) << c.name;
    EXPECT_EQ(planned.err, refusal) << c.name;
    const auto selected = box.run({"select", "evil"});
    EXPECT_EQ(selected.status, 2) << c.name;
    EXPECT_EQ(selected.out, "") << c.name;
    EXPECT_EQ(selected.err, refusal) << c.name;
    // the lock alone was taken; nothing backed up, written or recorded
    EXPECT_EQ(names_in(state_dir), Names{"lock"}) << c.name;
    EXPECT_FALSE(path_exists(box.home() + "/" + c.manage + "/rc")) << c.name;
    EXPECT_EQ(read_file(box.home() + "/" + c.manage + "/keep"), "mine\n") << c.name;
  }
}

// A user who moves ~/.local/state to another disk through a link keeps a
// working tool: the link meets no target.
TEST(RealStateDirectory, StateDirectoryBehindALinkThatMeetsNoTargetKeepsWorking) {
  Sandbox box;
  make_dirs(box.root() + "/disk/state");
  make_dirs(box.home() + "/.local");
  make_symlink(box.root() + "/disk/state", box.home() + "/.local/state");
  box.add_profile("p", {}, {".config/app", ".local/share/app"});
  box.write_content("p", ".config/app/rc", "new\n");
  box.write_content("p", ".local/share/app/db", "new\n");
  box.write_home(".config/app/rc", "mine\n");

  const auto r = box.run({"select", "p"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string backup = backup_dir_of(r.out);
  EXPECT_TRUE(backup.starts_with(box.home() + "/.local/state/vorpel/backups/")) << r.out;
  EXPECT_EQ(read_file(backup + "/home/.config/app/rc"), "mine\n");
  EXPECT_EQ(read_file(box.home() + "/.config/app/rc"), "new\n");
  EXPECT_EQ(names_in(box.root() + "/disk/state/vorpel"), (Names{"backups", "lock", "profiles", "state.toml"}));
}

// --- links at the names the tool owns -----------------------------------------

TEST(OwnNamesInTheStateDirectory, LinkAtBackupsFailsSelectAndLeavesItsTargetAlone) {
  Sandbox box;
  const std::string outside = box.root() + "/outside";
  for (const char* name : {"1-1", "2-1", "3-1", "4-1", "5-1", "6-1"}) write_file(outside + "/" + name + "/f", "x\n");
  ASSERT_EQ(chmod(outside.c_str(), 0755), 0);
  make_dirs(box.state_dir());
  make_symlink(outside, box.state_dir() + "/backups");
  box.add_profile("p", {}, {".profile"});
  box.write_content("p", ".profile", "new\n");
  box.write_home(".profile", "mine\n");

  const auto r = box.run({"select", "p"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  const std::string io = "I/O at " + box.state_dir() + "/backups: " + kTooManyLinks;
  EXPECT_EQ(r.err, "error: " + io + ": " + kTooManyLinks + "\n");
  EXPECT_EQ(read_file(box.home() + "/.profile"), "mine\n");
  EXPECT_EQ(names_in(outside), (Names{"1-1", "2-1", "3-1", "4-1", "5-1", "6-1"}));
  EXPECT_EQ(file_mode(outside) & 07777, 0755u);
  EXPECT_FALSE(path_exists(box.state_file()));
}

TEST(OwnNamesInTheStateDirectory, LinkAtLockFailsEveryStateChangingCommand) {
  for (const std::vector<std::string>& args : {Names{"prune"}, Names{"select", "p"}, Names{"remove", "p"}}) {
    Sandbox box;
    box.add_profile("p", {}, {".profile"});
    box.write_content("p", ".profile", "new\n");
    const std::string outside = box.root() + "/outside-file";
    write_file(outside, "someone's\n");
    ASSERT_EQ(chmod(outside.c_str(), 0644), 0);
    make_dirs(box.state_dir());
    make_symlink(outside, box.state_dir() + "/lock");

    const auto r = box.run(args);
    EXPECT_EQ(r.status, 2) << args[0];
    const std::string io = "I/O at " + box.state_dir() + "/lock: " + kTooManyLinks;
    EXPECT_EQ(r.err, "error: " + io + ": " + kTooManyLinks + "\n") << args[0];
    EXPECT_EQ(file_mode(outside) & 07777, 0644u) << args[0];
    EXPECT_EQ(read_file(outside), "someone's\n");
    EXPECT_FALSE(path_exists(box.home() + "/.profile"));
  }
}

TEST(OwnNamesInTheStateDirectory, DanglingLockLinkCreatesNothingAtItsTarget) {
  Sandbox box;
  make_dirs(box.state_dir());
  make_symlink(box.root() + "/created-by-lock", box.state_dir() + "/lock");
  const auto r = box.run({"prune"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "error: I/O at " + box.state_dir() + "/lock: " + kTooManyLinks + ": " + kTooManyLinks + "\n");
  EXPECT_FALSE(path_exists(box.root() + "/created-by-lock"));
}

// --- retention ----------------------------------------------------------------

// Names that sort after every stamp, strays or from a clock that was ahead:
// the backup just made sorts first and must survive, with the file it holds.
TEST(Retention, BackupJustMadeSurvivesNamesThatSortAfterIt) {
  const struct {
    Names existing;
    Names kept;
  } cases[] = {
      {{"README", "notes", "old1", "old2", "old3"}, {"notes", "old1", "old2", "old3"}},
      {{"9000000000000000000-1", "9000000000000000001-1", "9000000000000000002-1", "9000000000000000003-1",
        "9000000000000000004-1"},
       {"9000000000000000001-1", "9000000000000000002-1", "9000000000000000003-1", "9000000000000000004-1"}},
  };
  for (const auto& c : cases) {
    Sandbox box;
    for (const auto& name : c.existing) write_file(box.state_dir() + "/backups/" + name + "/home/x", "x\n");
    box.add_profile("p", {}, {".profile"});
    box.write_content("p", ".profile", "new\n");
    box.write_home(".profile", "mine\n");

    const auto r = box.run({"select", "p"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string backup = backup_dir_of(r.out);
    ASSERT_FALSE(backup.empty()) << r.out;
    EXPECT_EQ(read_file(backup + "/home/.profile"), "mine\n");
    Names expected = c.kept;
    expected.insert(expected.begin(), backup.substr(backup.rfind('/') + 1));
    EXPECT_EQ(names_in(box.state_dir() + "/backups"), expected);
  }
}

}  // namespace
}  // namespace vorpel::testing
