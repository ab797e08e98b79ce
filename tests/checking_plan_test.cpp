// What the copies of select and update would fail on halfway is refused by
// their checking plan, before any package or HOME changes: a source the
// user cannot read, a place longer than the system takes. A content
// directory that can be listed but not searched fails validate already.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/sandbox.hpp"

namespace vorpel::testing {
namespace {

using Names = std::vector<std::string>;

constexpr uid_t kNobody = 65534;
constexpr const char* kSetpriv = "/usr/bin/setpriv";

// Runs the binary as an unprivileged user: as the test itself when that is
// one, else (as root) through setpriv as nobody, after the whole sandbox
// was given to nobody.
class UnprivilegedRun {
 public:
  explicit UnprivilegedRun(const Sandbox& box) : box_(box) {}

  // A reason to skip, or empty when the runs can be made.
  std::string prepare() const {
    if (::geteuid() != 0) return {};
    if (::access(kSetpriv, X_OK) != 0) return "running as root without setpriv to drop to an unprivileged user";
    namespace fs = std::filesystem;
    const auto give = [](const fs::path& p) { return ::lchown(p.c_str(), kNobody, kNobody) == 0; };
    if (!give(box_.root())) return "cannot hand the sandbox to an unprivileged user";
    for (const auto& entry : fs::recursive_directory_iterator(box_.root())) {
      if (!give(entry.path())) return "cannot hand the sandbox to an unprivileged user";
    }
    return {};
  }

  RunResult run(const std::vector<std::string>& args) const {
    std::vector<std::string> argv;
    if (::geteuid() == 0) argv = {kSetpriv, "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
    argv.push_back(vorpel_binary());
    argv.insert(argv.end(), args.begin(), args.end());
    RunOptions options;
    options.env = box_.env;
    return run_program(argv, options);
  }

 private:
  const Sandbox& box_;
};

// The error line of an `Io` error: its text, then its cause.
std::string io_error_line(const std::string& path, const std::string& os_text) {
  return "error: I/O at " + path + ": " + os_text + ": " + os_text + "\n";
}

void chmod_or_throw(const std::string& path, mode_t mode) {
  if (::chmod(path.c_str(), mode) != 0) throw std::runtime_error("cannot chmod " + path);
}

TEST(CheckingPlanTest, SourceTheUserCannotReadIsRefusedBeforePackagesOrHome) {
  struct Case {
    const char* name;
    std::string unreadable;  // relative to the content root
    bool root_owned;         // 0600 and owned by root rather than 0000 and the user's
  };
  const std::vector<Case> cases{
      {"file in a managed tree", ".cfg/secret", false},
      {"managed file", ".rc", false},
      {"seed file", "notes/seed", false},
      {"another user's file", ".cfg/secret", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    box.add_profile("work", {"zsh"}, {".cfg", ".rc"});
    box.write_content("work", ".cfg/app", "app\n");
    box.write_content("work", ".cfg/secret", "secret\n");
    box.write_content("work", ".rc", "rc\n");
    box.write_content("work", "notes/seed", "seed\n");
    box.write_home(".cfg/mine", "mine\n");
    const UnprivilegedRun as_user(box);
    if (const std::string why = as_user.prepare(); !why.empty()) GTEST_SKIP() << why;
    if (c.root_owned && ::geteuid() != 0) continue;  // only root can make a file another user's
    const std::string unreadable = box.content_root("work") + "/" + c.unreadable;
    if (c.root_owned && ::chown(unreadable.c_str(), 0, 0) != 0) FAIL() << "cannot chown " << unreadable;
    chmod_or_throw(unreadable, c.root_owned ? 0600 : 0000);
    const TreeImage home_before = tree_image(box.home());
    const std::string error = io_error_line(unreadable, "Permission denied (os error 13)");

    for (const char* command : {"plan", "select"}) {
      const RunResult r = as_user.run({command, "work"});
      EXPECT_EQ(r.status, 2) << command;
      EXPECT_EQ(r.out, "") << command;
      EXPECT_EQ(r.err, error) << command;
    }
    EXPECT_EQ(box.fake_log(), Names{});
    EXPECT_EQ(tree_image(box.home(), box.home() + "/.local"), home_before);
    EXPECT_FALSE(path_exists(box.state_dir() + "/profiles"));
    EXPECT_FALSE(path_exists(box.state_file()));
  }
}

TEST(CheckingPlanTest, UpdateRefusesAnUnreadableSourceBeforeItsPackagesAndSnapshot) {
  Sandbox box;
  box.add_profile("work", {"zsh"}, {".cfg"});
  box.write_content("work", ".cfg/app", "app\n");
  const UnprivilegedRun as_user(box);
  if (const std::string why = as_user.prepare(); !why.empty()) GTEST_SKIP() << why;
  const RunResult selected = as_user.run({"select", "work"});
  ASSERT_EQ(selected.status, 0) << selected.err;
  const Names log = box.fake_log();

  box.write_content("work", ".cfg/new", "new\n");
  const std::string unreadable = box.content_root("work") + "/.cfg/new";
  if (::geteuid() == 0 && ::chown(unreadable.c_str(), kNobody, kNobody) != 0) FAIL() << "cannot chown";
  chmod_or_throw(unreadable, 0000);
  const TreeImage home_before = tree_image(box.home(), box.state_dir() + "/lock");
  const RunResult r = as_user.run({"update", "work"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, io_error_line(unreadable, "Permission denied (os error 13)"));
  EXPECT_EQ(box.fake_log(), log);
  EXPECT_EQ(tree_image(box.home(), box.state_dir() + "/lock"), home_before);
}

// A copy gives a directory its source's bits before it fills it, so a
// managed directory without its owner's write bit that holds anything
// cannot be copied by anyone but the superuser: refused before packages
// or HOME change. An empty one, and one on the way to a seed file (made
// afresh, not copied), are fine.
TEST(CheckingPlanTest, ReadOnlyManagedDirectoryWithEntriesIsRefusedBeforePackagesOrHome) {
  struct Case {
    const char* name;
    std::string narrowed;  // relative to the content root, set to 0555
    bool refused;
  };
  const std::vector<Case> cases{
      {"managed directory", ".cfg", true},
      {"directory in a managed tree", ".cfg/sub", true},
      {"empty directory in a managed tree", ".cfg/empty", false},
      {"directory of seed files", "notes", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    box.add_profile("work", {"zsh"}, {".cfg"});
    box.write_content("work", ".cfg/sub/conf", "conf\n");
    make_dirs(box.content_root("work") + "/.cfg/empty");
    box.write_content("work", "notes/seed", "seed\n");
    const UnprivilegedRun as_user(box);
    if (const std::string why = as_user.prepare(); !why.empty()) GTEST_SKIP() << why;
    const std::string narrowed = box.content_root("work") + "/" + c.narrowed;
    chmod_or_throw(narrowed, 0555);
    const TreeImage home_before = tree_image(box.home());

    for (const char* command : {"plan", "select"}) {
      const RunResult r = as_user.run({command, "work"});
      if (c.refused) {
        EXPECT_EQ(r.status, 2) << command;
        EXPECT_EQ(r.out, "") << command;
        EXPECT_EQ(r.err, io_error_line(narrowed, "Permission denied (os error 13)")) << command;
      } else {
        EXPECT_EQ(r.status, 0) << command << ": " << r.err;
      }
    }
    if (c.refused) {
      EXPECT_EQ(box.fake_log(), Names{});
      EXPECT_EQ(tree_image(box.home(), box.home() + "/.local"), home_before);
      EXPECT_FALSE(path_exists(box.state_dir() + "/profiles"));
    } else {
      EXPECT_EQ(read_file(box.home() + "/.cfg/sub/conf"), "conf\n");
      EXPECT_EQ(read_file(box.home() + "/notes/seed"), "seed\n");
    }
    chmod_or_throw(narrowed, 0755);
  }
}

// Readable but not searchable: the listing names its entries, their status
// cannot be read, and so the Profile is refused.
TEST(CheckingPlanTest, ContentDirectoryThatCannotBeSearchedFailsValidate) {
  Sandbox box;
  box.add_profile("work", {}, {".cfg"});
  box.write_content("work", ".cfg/sub/conf", "conf\n");
  const UnprivilegedRun as_user(box);
  if (const std::string why = as_user.prepare(); !why.empty()) GTEST_SKIP() << why;
  const std::string sub = box.content_root("work") + "/.cfg/sub";
  chmod_or_throw(sub, 0644);
  const RunResult r = as_user.run({"validate", box.profile_root()});
  chmod_or_throw(sub, 0755);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "invalid profile " + box.profile_root() + "/work/profile.toml: I/O at " + sub +
                       "/conf: Permission denied (os error 13)\n");
}

// `count` names of 200 bytes joined by "/", below `base`.
std::string long_path(const std::string& base, int count, char letter) {
  std::string path = base;
  for (int i = 0; i < count; ++i) path += "/" + std::string(200, letter);
  return path;
}

TEST(CheckingPlanTest, PlaceLongerThanTheSystemTakesIsRefusedBeforePackagesOrHome) {
  Sandbox box;
  // A seed file whose place in a deep HOME is longer than a path may be,
  // though its source is not.
  const std::string home = long_path(box.root() + "/h", 7, 'h');
  make_dirs(home);
  box.env["HOME"] = home;
  const std::string relative = long_path("notes", 14, 'n');
  box.add_profile("seeded", {"zsh"}, {".rc"});
  box.write_content("seeded", ".rc", "rc\n");
  box.write_content("seeded", relative, "seed\n");
  // A managed path that fits in HOME, not in a snapshot in a deep state directory.
  const std::string managed = long_path(".m", 11, 'm');
  box.add_profile("kept", {"zsh"}, {managed});
  box.write_content("kept", managed + "/f", "kept\n");

  struct Case {
    const char* id;
    std::vector<std::string> commands;
    std::string too_long;
    std::optional<std::string> state_home;
  };
  const std::string state_home = long_path(box.root() + "/s", 10, 's');
  const std::vector<Case> cases{
      {"seeded", {"plan", "select"}, home + "/" + relative, std::nullopt},
      {"kept", {"select"}, state_home + "/vorpel/profiles/kept/managed.swap/" + managed, state_home},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    box.env["XDG_STATE_HOME"] = c.state_home;
    if (c.state_home) make_dirs(*c.state_home);
    ASSERT_GE(c.too_long.size(), 4096u);
    for (const auto& command : c.commands) {
      const RunResult r = box.run({command, c.id});
      EXPECT_EQ(r.status, 2) << command;
      EXPECT_EQ(r.err, io_error_line(c.too_long, "File name too long (os error 36)")) << command;
    }
    EXPECT_EQ(box.fake_log(), Names{});
    for (const char* written : {".rc", "notes", ".m"}) EXPECT_FALSE(path_exists(home + "/" + written)) << written;
  }
}

}  // namespace
}  // namespace vorpel::testing
