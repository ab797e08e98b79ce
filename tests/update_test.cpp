// End-to-end runs of `update`: a retained Profile brought up to its
// current declaration.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/root_setup.hpp"
#include "tests/support/sandbox.hpp"

namespace vorpel::testing {
namespace {

using Names = std::vector<std::string>;

// The state once `work` below was updated to declare tmux and git and to
// manage `manage`, tmux being new.
std::string work_state_with_tmux(const Names& manage) {
  std::string text =
      "schema = 5\nactive_profile = \"work\"\nintroduced_packages = [\"tmux\"]\n\n[profiles.work]\n"
      "name = \"work\"\ndescription = \"\"\npackages = [\n    \"git\",\n    \"tmux\",\n]\nmanage = [\n";
  for (const auto& path : manage) text += "    \"" + path + "\",\n";
  return text + "]\n";
}

class UpdateTest : public ::testing::Test {
 protected:
  // `work` and `home` are both retained; `home` was selected last.
  void SetUp() override {
    box.add_profile("work", {"git"}, {".config/app", ".profile"});
    box.write_content("work", ".config/app/conf", "app\n");
    box.write_content("work", ".profile", "work profile\n");
    box.add_profile("home", {}, {".bashrc"});
    box.write_content("home", ".bashrc", "home bashrc\n");
    box.set_installed({"git"});
    ASSERT_EQ(box.run({"select", "work"}).status, 0);
  }

  Names log_since(std::size_t count) const {
    auto log = box.fake_log();
    log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(count));
    return log;
  }

  Sandbox box;
};

TEST_F(UpdateTest, ActiveProfileIsRewrittenInPlaceFromItsNewDeclaration) {
  // The declaration drops ".config/app", adds ".zshrc" and a package; a new
  // file outside the managed paths is not written by an update.
  box.add_profile("work", {"tmux", "git"}, {".profile", ".zshrc"});
  box.write_content("work", ".profile", "new profile\n");
  box.write_content("work", ".zshrc", "zshrc\n");
  box.write_content("work", "extra.txt", "seed\n");
  box.write_home(".profile", "edited\n");
  const std::size_t logged = box.fake_log().size();

  const auto r = box.run({"update"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(r.out.starts_with("Backup: ")) << r.out;
  const std::string backup = backup_dir_of(r.out);
  EXPECT_EQ(r.out, "Backup: " + backup + "\nActive Profile work was updated.\n");
  EXPECT_EQ(read_file(backup + "/home/.profile"), "edited\n");
  EXPECT_EQ(read_file(backup + "/home/.config/app/conf"), "app\n");

  EXPECT_FALSE(path_exists(box.home() + "/.config/app"));
  EXPECT_EQ(read_file(box.home() + "/.profile"), "new profile\n");
  EXPECT_EQ(read_file(box.home() + "/.zshrc"), "zshrc\n");
  EXPECT_FALSE(path_exists(box.home() + "/extra.txt"));
  EXPECT_EQ(names_in(box.snapshot_dir("work")), (Names{".profile", ".zshrc"}));

  EXPECT_EQ(log_since(logged), (Names{"pacman -Qq", "pacman -Sp --print-format %n -dd --noconfirm -- tmux",
                                      "sudo pacman -S --needed -- tmux git", "pacman -S --needed -- tmux git",
                                      "pacman -Qq"}));
  EXPECT_EQ(read_file(box.state_file()), work_state_with_tmux({".profile", ".zshrc"}));
}

// pacman ended well but left a declared package out, after installing
// another: that one is recorded, and the update stops before the snapshot
// and HOME change.
TEST_F(UpdateTest, AMissingPackageAfterPacmanStopsTheUpdateWithWhatWasInstalledRecorded) {
  box.add_profile("work", {"tmux", "git", "zsh"}, {".config/app", ".profile"});
  box.write_content("work", ".profile", "new profile\n");
  const std::string state_before = read_file(box.state_file());
  const auto r = run_with_env(box, {"update"}, {{"VORPEL_FAKE_NOT_INSTALLED", "tmux"}});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: pacman installation succeeded but Profile packages are not installed: tmux\n");
  std::string expected = state_before;
  expected.replace(expected.find("introduced_packages = []"), 24, "introduced_packages = [\"zsh\"]");
  EXPECT_EQ(read_file(box.state_file()), expected);
  EXPECT_EQ(read_file(box.home() + "/.profile"), "work profile\n");
  EXPECT_EQ(read_file(box.snapshot_dir("work") + "/.profile"), "work profile\n");
}

TEST_F(UpdateTest, InactiveRetainedProfileGetsANewSnapshotAndRecordOnly) {
  ASSERT_EQ(box.run({"select", "home"}).status, 0);
  ASSERT_EQ(box.run({"select", "work"}).status, 0);
  box.add_profile("home", {}, {".bashrc", ".inputrc"});
  box.write_content("home", ".bashrc", "new bashrc\n");
  box.write_content("home", ".inputrc", "inputrc\n");
  const std::size_t logged = box.fake_log().size();
  const Names backups_before = names_in(box.state_dir() + "/backups");

  const auto r = box.run({"update", "home"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Retained Profile home was updated.\n");
  EXPECT_EQ(names_in(box.state_dir() + "/backups"), backups_before);
  EXPECT_FALSE(path_exists(box.home() + "/.bashrc"));
  EXPECT_FALSE(path_exists(box.home() + "/.inputrc"));
  EXPECT_EQ(read_file(box.snapshot_dir("home") + "/.bashrc"), "new bashrc\n");
  EXPECT_EQ(read_file(box.snapshot_dir("home") + "/.inputrc"), "inputrc\n");
  // No packages declared: nothing was started.
  EXPECT_EQ(log_since(logged), Names{});
  const std::string state = read_file(box.state_file());
  EXPECT_TRUE(state.starts_with("schema = 5\nactive_profile = \"work\"\n")) << state;
  EXPECT_NE(state.find("manage = [\n    \".bashrc\",\n    \".inputrc\",\n]\n"), std::string::npos) << state;
}

TEST_F(UpdateTest, RefusalsChangeNothing) {
  const std::string state_before = read_file(box.state_file());
  struct Case {
    Names args;
    std::string err;
  };
  box.write_manifest("work", "schema = 4\n");  // rejected from now on
  const Case cases[] = {
      {{"update", "home"}, "error: Profile home is not retained\n"},
      {{"update", "nope"}, "error: Profile nope is not retained\n"},
      {{"update", "work"}, "error: installed Profile work is unavailable or invalid\n"},
      {{"update"}, "error: installed Profile work is unavailable or invalid\n"},
  };
  for (const auto& c : cases) {
    const auto r = box.run(c.args);
    EXPECT_EQ(r.status, 2) << c.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.ends_with(c.err)) << r.err;
  }
  EXPECT_EQ(read_file(box.state_file()), state_before);
}

// After the lock nothing is saved on a failure: a content root that cannot
// be planned stops the update before pacman runs, and a failed package step
// before the snapshot is touched.
TEST_F(UpdateTest, FailuresAfterTheLockSaveNothingAndPlanningComesBeforePacman) {
  box.add_profile("work", {"tmux", "git"}, {".profile", ".config/app"});
  const std::string state_before = read_file(box.state_file());
  const std::string snapshot_profile = read_file(box.snapshot_dir("work") + "/.profile");
  box.write_content("work", ".profile", "new profile\n");

  // ".config" in HOME turned into a link: the checking plan refuses it.
  std::filesystem::rename(box.home() + "/.config", box.root() + "/real-config");
  make_symlink(box.root() + "/real-config", box.home() + "/.config");
  std::size_t logged = box.fake_log().size();
  const auto planned = box.run({"update"});
  EXPECT_EQ(planned.status, 2);
  EXPECT_EQ(planned.out, "");
  EXPECT_EQ(planned.err, "error: configuration parent " + box.home() + "/.config is a symbolic link\n");
  EXPECT_EQ(log_since(logged), Names{});
  std::filesystem::remove(box.home() + "/.config");
  std::filesystem::rename(box.root() + "/real-config", box.home() + "/.config");

  struct Case {
    std::map<std::string, std::optional<std::string>> env;
    std::string err;
  };
  const Case cases[] = {
      {{{"VORPEL_FAKE_QUERY_EXIT", "1"}}, "error: pacman package query failed with exit status: 1: \n"},
      {{{"VORPEL_FAKE_SUDO_EXIT", "1"}}, "error: pacman installation failed with exit status: 1\n"},
  };
  for (const auto& c : cases) {
    const auto r = run_with_env(box, {"update", "work"}, c.env);
    EXPECT_EQ(r.status, 2) << c.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.ends_with(c.err)) << r.err;
    EXPECT_EQ(read_file(box.state_file()), state_before);
    EXPECT_EQ(read_file(box.snapshot_dir("work") + "/.profile"), snapshot_profile);
    EXPECT_EQ(read_file(box.home() + "/.profile"), "work profile\n");
  }
}

// The application fails after pacman installed tmux and the new snapshot
// is in place: the state records tmux and the entry the snapshot was built
// from, so the Profile can still be selected and planned.
TEST_F(UpdateTest, AFailedApplicationStoresTheEntryOfTheNewSnapshot) {
  box.add_profile("work", {"tmux", "git"}, {".profile", ".local/bin/tool"});
  box.write_content("work", ".profile", "new profile\n");
  box.write_content("work", ".local/bin/tool", "tool\n");
  // What HOME would refuse is refused before the snapshot changes; this
  // fault only the write meets: ".local/bin" cannot be made in a ".local"
  // the runner may not write (nobody's, when the test runs as root).
  const bool as_nobody = ::geteuid() == 0;
  const std::string local = box.home() + "/.local";
  if (as_nobody) {
    prepare_for_nobody(box);
    for (const auto& file : {box.log_path(), box.installed_path()}) give_to_nobody(file);
  }
  ASSERT_EQ(::chmod(local.c_str(), 0555), 0);

  const auto r = as_nobody ? run_as_nobody(box, {"update"}) : box.run({"update"});
  ASSERT_EQ(::chmod(local.c_str(), 0755), 0);
  EXPECT_EQ(r.status, 2);
  // The old paths left HOME before the failing write.
  const std::string backup = backup_dir_of(r.out);
  ASSERT_FALSE(backup.empty()) << r.out;
  EXPECT_EQ(r.out, "Backup: " + backup + "\n");
  EXPECT_EQ(read_file(backup + "/home/.profile"), "work profile\n");
  EXPECT_TRUE(r.err.starts_with("error: I/O at " + box.home() + "/.local/bin: Permission denied")) << r.err;
  EXPECT_EQ(names_in(box.snapshot_dir("work")), (Names{".local", ".profile"}));
  EXPECT_EQ(names_in(box.state_dir() + "/profiles/work"), Names{"managed"});
  EXPECT_EQ(read_file(box.state_file()), work_state_with_tmux({".local/bin/tool", ".profile"}));

  const auto planned = box.run({"plan", "work"});
  ASSERT_EQ(planned.status, 0) << planned.err;
  const auto selected = box.run({"select", "work"});
  ASSERT_EQ(selected.status, 0) << selected.err;
  EXPECT_EQ(read_file(box.home() + "/.local/bin/tool"), "tool\n");
  EXPECT_EQ(read_file(box.home() + "/.profile"), "new profile\n");
}

// What a build killed half-way leaves beside the snapshot is cleared by the
// next one and disturbs nothing before that.
TEST_F(UpdateTest, LeftoversOfAnInterruptedSnapshotBuildAreHarmless) {
  const std::string profile_dir = box.state_dir() + "/profiles/work";
  for (const char* leftover : {"managed.swap", "managed.old"}) {
    write_file(profile_dir + "/" + leftover + "/.profile", "half\n");
    make_dirs(profile_dir + "/" + leftover + "/.config/app/sub");
  }
  ASSERT_EQ(box.run({"plan", "work"}).status, 0);
  ASSERT_EQ(box.run({"select", "work"}).status, 0);
  EXPECT_EQ(read_file(box.home() + "/.profile"), "work profile\n");

  box.write_content("work", ".profile", "new profile\n");
  const auto r = box.run({"update", "work"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(names_in(profile_dir), Names{"managed"});
  EXPECT_EQ(read_file(box.snapshot_dir("work") + "/.profile"), "new profile\n");
  EXPECT_EQ(read_file(box.home() + "/.profile"), "new profile\n");
}

// A link at "profiles", at the Profile's directory or at "managed" is never
// followed: select, update and plan stop with an error for the link before
// HOME, pacman or the link's target is touched.
TEST_F(UpdateTest, LinksAtTheSnapshotPathAreRefused) {
  box.add_profile("work", {"tmux"}, {".config/app", ".profile"});
  const std::string profiles = box.state_dir() + "/profiles";
  const std::string home_profile = read_file(box.home() + "/.profile");
  const std::string state_before = read_file(box.state_file());
  for (const std::string& link : Names{profiles, profiles + "/work", profiles + "/work/managed"}) {
    const std::string outside = box.root() + "/outside";
    std::filesystem::rename(link, outside);
    make_symlink(outside, link);
    const auto before = tree_image(outside);
    const std::size_t logged = box.fake_log().size();
    for (const Names& args : {Names{"select", "work"}, Names{"update", "work"}, Names{"plan", "work"}}) {
      const auto r = box.run(args);
      EXPECT_EQ(r.status, 2) << link << " " << args[0];
      EXPECT_EQ(r.out, "") << args[0];
      EXPECT_EQ(r.err, "error: I/O at " + link + ": Too many levels of symbolic links (os error 40): " +
                           "Too many levels of symbolic links (os error 40)\n")
          << args[0];
    }
    EXPECT_EQ(log_since(logged), Names{}) << link;
    EXPECT_EQ(tree_image(outside), before) << link;
    EXPECT_EQ(read_file(box.home() + "/.profile"), home_profile);
    EXPECT_EQ(read_file(box.state_file()), state_before);
    std::filesystem::remove(link);
    std::filesystem::rename(outside, link);
  }
}

TEST(UpdateWithoutStateTest, NothingActiveFailsBeforeTheLock) {
  Sandbox box;
  const auto r = box.run({"update"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "error: no active Profile\n");
  EXPECT_FALSE(path_exists(box.state_dir()));
}

}  // namespace
}  // namespace vorpel::testing
