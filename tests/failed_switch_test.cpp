// End-to-end runs of switches that fail or are refused part-way. After each,
// every file HOME held is in HOME or in the backup the command named, the
// paths after the failing one are as they were, and no backup directory is
// left that the output does not name.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/root_setup.hpp"
#include "tests/support/sandbox.hpp"
#include "tests/support/temp_dir.hpp"

namespace vorpel::testing {
namespace {

using Names = std::vector<std::string>;

bool is_root() { return ::geteuid() == 0; }

// Every file and link of `before` (an image of HOME) is in HOME or below
// "home" in `backup`, with the same kind and content.
void expect_nothing_lost(const TreeImage& before, const std::string& home, const std::string& backup) {
  for (const auto& [relative, entry] : before) {
    const auto& [mode, inode, data] = entry;
    if (S_ISDIR(mode)) continue;
    bool kept = false;
    for (const std::string& base : {home, backup.empty() ? std::string() : backup + "/home"}) {
      struct stat st {};
      if (base.empty() || ::lstat((base + relative).c_str(), &st) != 0) continue;
      if ((st.st_mode & S_IFMT) != (mode & S_IFMT)) continue;
      const std::string now = S_ISLNK(mode) ? read_link(base + relative) : S_ISREG(mode) ? read_file(base + relative) : "";
      kept = kept || now == data;
    }
    EXPECT_TRUE(kept) << relative << " is neither in HOME nor in the backup \"" << backup << "\"";
  }
}

// The entries of `image` at or below `relative`.
TreeImage part_of(const TreeImage& image, const std::string& relative) {
  TreeImage part;
  const std::string top = "/" + relative;
  for (const auto& [path, entry] : image) {
    if (path == top || path.starts_with(top + "/")) part.emplace(path, entry);
  }
  return part;
}

Names names_or_none(const std::string& dir) { return path_exists(dir) ? names_in(dir) : Names{}; }

void replace_all(std::string& text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// A sandbox whose Profile `old` (managing ".cfg" and "q") is made active
// by this user or, for the permission cases, by nobody.
class World {
 public:
  explicit World(bool as_nobody) : nobody_(as_nobody) {
    box.add_profile("old", {}, {".cfg", "q"});
    box.write_content("old", ".cfg/conf", "old conf\n");
    box.write_content("old", "q", "old q\n");
  }

  RunResult run(const std::vector<std::string>& args) const {
    return nobody_ ? run_as_nobody(box, args) : box.run(args);
  }
  bool nobody() const { return nobody_; }

  void select_old() {
    if (nobody_) prepare_for_nobody(box);
    const auto r = run({"select", "old"});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  // The state directory below `dir`, which the runner must be able to write.
  void set_state_home(const std::string& dir) {
    state_home_ = dir;
    box.env["XDG_STATE_HOME"] = dir;
    if (nobody_) give_to_nobody(dir);
  }
  std::string state_dir() const { return state_home_ ? *state_home_ + "/vorpel" : box.state_dir(); }
  std::string home() const { return box.home(); }

  Sandbox box;
  // After the sandbox, so that they are taken down before it is removed.
  std::optional<ScopedMount> home_mount;
  std::optional<ScopedMount> state_mount;
  std::optional<ScopedMount> inner_mount;

 private:
  bool nobody_;
  std::optional<std::string> state_home_;
};

// Puts the state directory on a tmpfs of its own.
std::string state_on_another_file_system(World& w) {
  const std::string dir = w.box.root() + "/state-fs";
  make_dirs(dir);
  w.state_mount = ScopedMount::tmpfs(dir, "16m");
  if (!w.state_mount) return "cannot mount a tmpfs for the state directory";
  w.set_state_home(dir);
  return "";
}

struct SwitchCase {
  const char* name;
  bool needs_root;  // to mount, or to make files the runner does not own
  bool as_nobody;   // run by nobody when the test runs as root
  std::vector<std::string> manage;  // of the Profile `fresh`, each a file "fresh <path>"
  // Before `old` is selected (may be empty); returns a reason to skip or "".
  std::function<std::string(World&)> prepare;
  // After: puts the fault in HOME.
  std::function<void(World&)> arrange;
  std::string error;  // in the error line; "{home}" is HOME
  bool backed_up;     // something left HOME before the failure
  std::vector<std::string> untouched;  // HOME paths after the failing one
  // A HOME directory this test, unless root, can only image once opened.
  const char* opaque = nullptr;
};

// HOME without the state directory, as this test can read it.
TreeImage home_image(const World& w, const SwitchCase& c) {
  if (c.opaque == nullptr || is_root()) return tree_image(w.home(), w.state_dir());
  const std::string dir = w.home() + "/" + c.opaque;
  const mode_t bits = file_mode(dir) & 07777;
  if (::chmod(dir.c_str(), 0700) != 0) throw std::runtime_error("cannot open " + dir);
  TreeImage image = tree_image(w.home(), w.state_dir());
  if (::chmod(dir.c_str(), bits) != 0) throw std::runtime_error("cannot close " + dir);
  return image;
}

void PrintTo(const SwitchCase& c, std::ostream* out) { *out << c.name; }

class FailedSwitch : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(FailedSwitch, EveryFileStaysInHomeOrInTheNamedBackup) {
  const SwitchCase& c = GetParam();
  if (c.needs_root && !is_root()) GTEST_SKIP() << "needs root (euid 0) to set up: " << c.name;
  World w(c.as_nobody && is_root());
  if (c.prepare) {
    const std::string skip = c.prepare(w);
    if (!skip.empty()) GTEST_SKIP() << skip;
  }
  w.box.add_profile("fresh", {}, c.manage);
  for (const auto& path : c.manage) {
    w.box.write_content("fresh", path, path == "big" ? std::string(1 << 20, 'x') : "fresh " + path + "\n");
  }
  ASSERT_NO_FATAL_FAILURE(w.select_old());
  c.arrange(w);
  const std::string state_before = read_file(w.state_dir() + "/state.toml");
  const TreeImage before = home_image(w, c);

  const auto r = w.run({"select", "fresh"});
  EXPECT_EQ(r.status, 2);
  std::string error = c.error;
  replace_all(error, "{home}", w.home());
  EXPECT_NE(r.err.find(error), std::string::npos) << r.err;
  const std::string backup = backup_dir_of(r.out);
  if (c.backed_up) {
    ASSERT_FALSE(backup.empty()) << r.out;
    EXPECT_EQ(r.out, "Backup: " + backup + "\n");
  } else {
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(home_image(w, c), before);
  }
  const TreeImage after = home_image(w, c);
  if (c.opaque == nullptr || is_root()) expect_nothing_lost(before, w.home(), backup);
  for (const auto& path : c.untouched) EXPECT_EQ(part_of(after, path), part_of(before, path)) << path;
  // No backup directory but the one named, which holds something.
  const Names made = names_or_none(w.state_dir() + "/backups");
  EXPECT_EQ(made, backup.empty() ? Names{} : Names{std::filesystem::path(backup).filename().string()});
  if (!backup.empty()) {
    EXPECT_FALSE(names_in(backup + "/home").empty());
  }
  EXPECT_EQ(read_file(w.state_dir() + "/state.toml"), state_before);
}

void unsearchable_dir(World& w, mode_t bits) {
  w.box.write_home(".cfg/d/f", "mine\n");
  if (w.nobody()) give_to_nobody(w.home() + "/.cfg/d");
  ASSERT_EQ(::chmod((w.home() + "/.cfg/d").c_str(), bits), 0);
}

// Root's file in root's sticky directory, which nobody may write but not
// delete others' entries from.
void others_file_in_a_sticky_dir(World& w) {
  w.box.write_home(".cfg/t/f", "root's\n");
  ASSERT_EQ(::chmod((w.home() + "/.cfg/t").c_str(), 01777), 0);
}

const char* const kInSticky = "I/O at {home}/.cfg/t/f: another user's entry in a sticky directory, so it could not "
                              "be removed";
const char* const kUnreadable = "I/O at {home}/.cfg/d: no read permission, so the backup could not copy it";
const char* const kNotRemovable =
    "I/O at {home}/.cfg/d: no write and search permission, so what it holds could not be removed";

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedSwitch,
    ::testing::Values(
        // A file where a directory is needed fails the step of "a/x"; that
        // is known before anything changes, so nothing does.
        SwitchCase{"file_where_a_directory_is_needed", false, false, {"a/x", "b"}, nullptr,
                   [](World& w) {
                     w.box.write_home("a", "my a\n");
                     w.box.write_home("b/precious", "mine\n");
                   },
                   "I/O at {home}/a/x: Not a directory (os error 20)", false, {"a", "b"}},
        // The write of "big" fills HOME: "old"'s paths and the old "big"
        // are in the backup, copied to the state's file system; "z" stays.
        SwitchCase{"full_disk", true, false, {"big", "z"},
                   [](World& w) {
                     w.home_mount = ScopedMount::tmpfs(w.home(), "256k");
                     if (!w.home_mount) return std::string("cannot mount a tmpfs for HOME");
                     make_dirs(w.box.root() + "/state");
                     w.set_state_home(w.box.root() + "/state");
                     return std::string();
                   },
                   [](World& w) {
                     w.box.write_home("big", "my big\n");
                     w.box.write_home("z/precious", "mine\n");
                   },
                   "I/O at {home}/big: No space left on device (os error 28)", true, {"z"}},
        // nobody cannot create ".config/app" in root's ".config".
        SwitchCase{"root_owned_config_met_by_a_write", true, true, {".config/app", "z"}, nullptr,
                   [](World& w) {
                     make_dirs(w.home() + "/.config");
                     w.box.write_home("z/precious", "mine\n");
                     give_to_nobody(w.home() + "/z");
                   },
                   "Permission denied (os error 13)", true, {".config", "z"}},
        SwitchCase{"mount_in_a_given_up_tree", true, false, {"p"}, nullptr,
                   [](World& w) {
                     write_file(w.box.root() + "/outside/keep", "not HOME's\n");
                     make_dirs(w.home() + "/.cfg/shared");
                     w.inner_mount = ScopedMount::bind(w.box.root() + "/outside", w.home() + "/.cfg/shared");
                     ASSERT_TRUE(w.inner_mount);
                   },
                   "I/O at {home}/.cfg/shared: another file system is mounted here", false, {}},
        SwitchCase{"root_owned_dir_in_a_given_up_tree", true, true, {"p"}, nullptr,
                   [](World& w) { w.box.write_home(".cfg/rootdir/f", "root's\n"); },
                   "I/O at {home}/.cfg/rootdir: no write and search permission, so what it holds could not be "
                   "removed",
                   false, {}},
        // The same answer whether the backup could rename or must copy.
        SwitchCase{"unsearchable_dir_one_file_system", false, true, {"p"}, nullptr,
                   [](World& w) { unsearchable_dir(w, 0600); }, kUnreadable, false, {}, ".cfg/d"},
        SwitchCase{"unsearchable_dir_two_file_systems", true, true, {"p"}, state_on_another_file_system,
                   [](World& w) { unsearchable_dir(w, 0600); }, kUnreadable, false, {}, ".cfg/d"},
        SwitchCase{"read_only_dir_one_file_system", false, true, {"p"}, nullptr,
                   [](World& w) { unsearchable_dir(w, 0500); }, kNotRemovable, false, {}, ".cfg/d"},
        SwitchCase{"read_only_dir_two_file_systems", true, true, {"p"}, state_on_another_file_system,
                   [](World& w) { unsearchable_dir(w, 0500); }, kNotRemovable, false, {}, ".cfg/d"},
        SwitchCase{"others_file_in_a_sticky_dir_one_file_system", true, true, {"p"}, nullptr,
                   others_file_in_a_sticky_dir, kInSticky, false, {}},
        SwitchCase{"others_file_in_a_sticky_dir_two_file_systems", true, true, {"p"}, state_on_another_file_system,
                   others_file_in_a_sticky_dir, kInSticky, false, {}},
        // A target that root's file holds, in root's sticky directory.
        SwitchCase{"target_in_a_sticky_dir", true, true, {"s/x"}, nullptr,
                   [](World& w) {
                     w.box.write_home("s/x", "root's\n");
                     ASSERT_EQ(::chmod((w.home() + "/s").c_str(), 01777), 0);
                   },
                   "I/O at {home}/s/x: another user's entry in a sticky directory, so it could not be removed", false,
                   {".cfg", "q", "s"}}),
    [](const ::testing::TestParamInfo<SwitchCase>& info) { return std::string(info.param.name); });

void make_socket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof address.sun_path) << path;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
  ::close(fd);
}

// Refused selects make no backup directory, so they push no real backup
// out of the five kept.
TEST(FailedSwitchBackups, RefusedSelectsLeaveNoEmptyBackup) {
  World w(false);
  w.box.add_profile("fresh", {}, {"p"});
  w.box.write_content("fresh", "p", "p\n");
  ASSERT_NO_FATAL_FAILURE(w.select_old());
  const auto again = w.run({"select", "old"});
  ASSERT_EQ(again.status, 0) << again.err;
  const std::string real = backup_dir_of(again.out);
  ASSERT_FALSE(real.empty()) << again.out;
  const std::string backups = w.state_dir() + "/backups";
  const Names kept{std::filesystem::path(real).filename().string()};

  // A socket's path must fit in its address, so it lies close to the root.
  TempDir short_dir;
  const std::string socket = short_dir / "s";
  ASSERT_NO_FATAL_FAILURE(make_socket(socket));
  const std::string special = w.home() + "/.cfg/special";
  for (int i = 0; i < 4; ++i) {
    if (i < 2) {
      ASSERT_EQ(::mkfifo(special.c_str(), 0600), 0);
    } else {
      ASSERT_EQ(::rename(socket.c_str(), special.c_str()), 0);
    }
    const auto r = w.run({"select", "fresh"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: unsupported backup target " + special + "\n");
    EXPECT_EQ(names_in(backups), kept);
    if (i < 2) {
      ASSERT_EQ(::unlink(special.c_str()), 0);
    } else {
      ASSERT_EQ(::rename(special.c_str(), socket.c_str()), 0);
    }
  }
  const auto good = w.run({"select", "fresh"});
  ASSERT_EQ(good.status, 0) << good.err;
  const std::string made = backup_dir_of(good.out);
  ASSERT_FALSE(made.empty()) << good.out;
  EXPECT_EQ(names_in(backups), (Names{kept[0], std::filesystem::path(made).filename().string()}));
  EXPECT_EQ(read_file(real + "/home/.cfg/conf"), "old conf\n");
}

// What the application in HOME would refuse is refused before pacman runs
// or a snapshot changes: packages, snapshots and the state stay as they were.
struct EarlyRefusal {
  const char* name;
  std::vector<std::string> args;
  // After `old` (declaring "git") is active: declares what the command
  // changes and puts the fault in HOME.
  std::function<void(World&)> declare;
  std::string error;  // the error line; "{home}" is HOME
};

void make_fifo(World& w) { ASSERT_EQ(::mkfifo((w.home() + "/.cfg/special").c_str(), 0600), 0); }

const char* const kFifoRefused = "error: unsupported backup target {home}/.cfg/special\n";

// A first activation of "fresh", with the pipe in the tree it gives up.
void declare_fresh_with_fifo(World& w) {
  w.box.add_profile("fresh", {"vim"}, {"p"});
  w.box.write_content("fresh", "p", "p\n");
  make_fifo(w);
}

void PrintTo(const EarlyRefusal& c, std::ostream* out) { *out << c.name; }

class RefusedBeforePackages : public ::testing::TestWithParam<EarlyRefusal> {};

TEST_P(RefusedBeforePackages, NothingChanges) {
  const EarlyRefusal& c = GetParam();
  World w(false);
  w.box.add_profile("old", {"git"}, {".cfg", "q"});
  w.box.set_installed({"git"});
  ASSERT_NO_FATAL_FAILURE(w.select_old());
  ASSERT_NO_FATAL_FAILURE(c.declare(w));
  const std::string state_before = read_file(w.state_dir() + "/state.toml");
  const TreeImage before = tree_image(w.state_dir(), w.state_dir() + "/lock");
  const auto log_before = w.box.fake_log();

  const auto r = w.run(c.args);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  std::string error = c.error;
  replace_all(error, "{home}", w.home());
  EXPECT_EQ(r.err, error);
  const auto log = w.box.fake_log();
  for (auto line = log.begin() + static_cast<std::ptrdiff_t>(log_before.size()); line != log.end(); ++line) {
    EXPECT_FALSE(line->starts_with("sudo")) << *line;
  }
  EXPECT_EQ(read_file(w.state_dir() + "/state.toml"), state_before);
  EXPECT_EQ(tree_image(w.state_dir(), w.state_dir() + "/lock"), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedBeforePackages,
    ::testing::Values(
        EarlyRefusal{"first_activation", {"select", "fresh"}, declare_fresh_with_fifo, kFifoRefused},
        // plan previews select, refusals included.
        EarlyRefusal{"plan_of_a_first_activation", {"plan", "fresh"}, declare_fresh_with_fifo, kFifoRefused},
        EarlyRefusal{"plan_of_the_retained", {"plan", "old"}, make_fifo, kFifoRefused},
        EarlyRefusal{"first_activation_file_where_a_directory_is_needed", {"select", "fresh"},
                     [](World& w) {
                       w.box.add_profile("fresh", {"vim"}, {"a/x"});
                       w.box.write_content("fresh", "a/x", "x\n");
                       w.box.write_home("a", "my a\n");
                     },
                     "error: I/O at {home}/a/x: Not a directory (os error 20): Not a directory (os error 20)\n"},
        EarlyRefusal{"retained_with_packages", {"select", "old"}, make_fifo, kFifoRefused},
        EarlyRefusal{"update_of_the_active", {"update"},
                     [](World& w) {
                       w.box.add_profile("old", {"git", "vim"}, {".cfg", "q"});
                       w.box.write_content("old", "q", "new q\n");
                       make_fifo(w);
                     },
                     kFifoRefused}),
    [](const ::testing::TestParamInfo<EarlyRefusal>& info) { return std::string(info.param.name); });

// A path whose place in the backup would be longer than the system takes
// is refused before anything leaves HOME, though HOME's path and the
// snapshot's fit: the backup's place is a little longer than the
// snapshot's.
TEST(FailedSwitchBackups, BackupPlaceLongerThanTheSystemTakesIsRefusedUpFront) {
  Sandbox box;
  std::string component(200, 'n');
  const std::string longest = component + "/" + component + "/" + component + "/" + component;  // 803 bytes
  // The state directory's length that leaves the snapshot's place of
  // `longest` 20 bytes short of PATH_MAX and puts the backup's past it.
  const std::size_t state_length = 4060 - longest.size();
  std::string state_home = box.root();
  while (state_home.size() + 7 < state_length) {
    const std::size_t room = state_length - 7 - state_home.size() - 1;
    state_home += "/" + std::string(std::min<std::size_t>(room == 201 ? 199 : room, 200), 's');
  }
  ASSERT_EQ(state_home.size() + 7, state_length);
  make_dirs(state_home);
  box.env["XDG_STATE_HOME"] = state_home;
  const std::string state_dir = state_home + "/vorpel";
  // "a/b/c/d/e", deeper, leaves HOME before `longest` does.
  box.add_profile("old", {}, {"a/b/c/d/e", longest});
  box.write_content("old", "a/b/c/d/e", "e\n");
  box.write_content("old", longest + "/f", "f\n");
  box.add_profile("fresh", {}, {"p"});
  box.write_content("fresh", "p", "p\n");
  const auto selected = box.run({"select", "old"});
  ASSERT_EQ(selected.status, 0) << selected.err;
  const TreeImage before = tree_image(box.home());
  const std::string state_before = read_file(state_dir + "/state.toml");

  const auto r = box.run({"select", "fresh"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("error: I/O at " + box.home() + "/" + longest +
                                ": its place in the backup would be longer than the system allows"))
      << r.err;
  EXPECT_EQ(tree_image(box.home()), before);
  EXPECT_EQ(read_file(state_dir + "/state.toml"), state_before);
  EXPECT_EQ(names_or_none(state_dir + "/backups"), Names{});
}

// A given-up file with another link is copied into the backup: writing
// through the other link later does not change the backup.
TEST(FailedSwitchBackups, HardLinkedFileIsCopiedNeverMoved) {
  World w(false);
  w.box.add_profile("fresh", {}, {"p"});
  w.box.write_content("fresh", "p", "p\n");
  ASSERT_NO_FATAL_FAILURE(w.select_old());
  make_dirs(w.home() + "/elsewhere");
  const std::string other = w.home() + "/elsewhere/conf";
  ASSERT_EQ(::link((w.home() + "/.cfg/conf").c_str(), other.c_str()), 0);
  write_file(w.home() + "/.cfg/sub/own", "own\n");

  const auto r = w.run({"select", "fresh"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string backup = backup_dir_of(r.out);
  ASSERT_FALSE(backup.empty()) << r.out;
  EXPECT_FALSE(path_exists(w.home() + "/.cfg"));
  struct stat saved {}, outside {};
  ASSERT_EQ(::lstat((backup + "/home/.cfg/conf").c_str(), &saved), 0);
  ASSERT_EQ(::lstat(other.c_str(), &outside), 0);
  EXPECT_NE(saved.st_ino, outside.st_ino);
  EXPECT_EQ(outside.st_nlink, 1u);
  write_file(other, "changed through the other link\n");
  EXPECT_EQ(read_file(backup + "/home/.cfg/conf"), "old conf\n");
  EXPECT_EQ(read_file(backup + "/home/.cfg/sub/own"), "own\n");
  EXPECT_EQ(read_file(backup + "/home/q"), "old q\n");
}

// An old backup retention cannot remove (here one with a mount inside,
// which no removal enters) stays, with a warning; the switch is complete
// and saved.
TEST(FailedSwitchBackups, RetentionThatCannotRemoveAnOldBackupWarns) {
  if (!is_root()) GTEST_SKIP() << "needs root (euid 0) to mount inside a backup";
  World w(false);
  ASSERT_NO_FATAL_FAILURE(w.select_old());
  Names made;
  for (int i = 0; i < 5; ++i) {
    const auto r = w.run({"select", "old"});
    ASSERT_EQ(r.status, 0) << r.err;
    made.push_back(std::filesystem::path(backup_dir_of(r.out)).filename().string());
  }
  const std::string oldest = w.state_dir() + "/backups/" + made[0];
  write_file(w.box.root() + "/outside/keep", "not a backup's\n");
  make_dirs(oldest + "/home/.cfg/m");
  w.inner_mount = ScopedMount::bind(w.box.root() + "/outside", oldest + "/home/.cfg/m");
  ASSERT_TRUE(w.inner_mount);

  // The stuck one stays beside the five newest, named each time.
  Names newer(made.begin() + 1, made.end());
  for (int i = 0; i < 2; ++i) {
    const auto r = w.run({"select", "old"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string backup = backup_dir_of(r.out);
    EXPECT_EQ(r.out, "Backup: " + backup + "\nProfile old is active.\n");
    const std::string cause = "another file system is mounted at home/.cfg/m";
    EXPECT_EQ(r.err, "warning: old backup " + oldest + " left in place: I/O at " + oldest + ": " + cause + ": " +
                         cause + "\n");
    newer.push_back(std::filesystem::path(backup).filename().string());
    if (newer.size() > 5) newer.erase(newer.begin());
    Names expected{made[0]};
    expected.insert(expected.end(), newer.begin(), newer.end());
    EXPECT_EQ(names_in(w.state_dir() + "/backups"), expected);
  }
  EXPECT_EQ(read_file(w.box.root() + "/outside/keep"), "not a backup's\n");
  EXPECT_EQ(read_file(w.home() + "/.cfg/conf"), "old conf\n");
}

// A failed update names its backup too.
TEST(FailedSwitchBackups, FailedUpdateNamesItsBackup) {
  World w(is_root());
  ASSERT_NO_FATAL_FAILURE(w.select_old());
  w.box.add_profile("old", {}, {".cfg", "q", "r/x"});
  w.box.write_content("old", "r/x", "x\n");
  make_dirs(w.home() + "/r");
  if (w.nobody()) give_to_nobody(w.home() + "/r");
  ASSERT_EQ(::chmod((w.home() + "/r").c_str(), 0555), 0);
  const TreeImage before = tree_image(w.home(), w.state_dir());

  const auto r = w.run({"update"});
  EXPECT_EQ(r.status, 2);
  const std::string backup = backup_dir_of(r.out);
  ASSERT_FALSE(backup.empty()) << r.out << r.err;
  EXPECT_EQ(r.out, "Backup: " + backup + "\n");
  EXPECT_NE(r.err.find("I/O at " + w.home() + "/r/x: Permission denied"), std::string::npos) << r.err;
  expect_nothing_lost(before, w.home(), backup);
  ASSERT_EQ(::chmod((w.home() + "/r").c_str(), 0755), 0);
}

}  // namespace
}  // namespace vorpel::testing
