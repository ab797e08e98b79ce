// End-to-end runs of `select` against the fake pacman and sudo.
#include <filesystem>
#include <future>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/sandbox.hpp"

namespace vorpel::testing {
namespace {

using Names = std::vector<std::string>;

// The state after the first activation of `work` below, with git installed
// beforehand.
constexpr const char* kWorkState = R"(schema = 5
active_profile = "work"
introduced_packages = [
    "vim",
    "zsh",
]

[profiles.work]
name = "work"
description = ""
packages = [
    "git",
    "vim",
    "zsh",
]
manage = [
    ".config/app",
    ".profile",
]
)";

// `work` manages a directory and a file and carries a seed file besides;
// `home` takes over ".profile" and adds ".bashrc", without packages.
void add_work(const Sandbox& box) {
  box.add_profile("work", {"zsh", "git", "vim"}, {".config/app", ".profile"});
  box.write_content("work", ".config/app/conf", "app\n");
  box.write_content("work", ".profile", "work profile\n");
  box.write_content("work", "notes/readme", "seed\n");
}

void add_home(const Sandbox& box) {
  box.add_profile("home", {}, {".profile", ".bashrc"});
  box.write_content("home", ".profile", "home profile\n");
  box.write_content("home", ".bashrc", "home bashrc\n");
}

TEST(SelectTest, FirstActivationWritesManagedPathsAndSeedFilesAndRecordsTheState) {
  Sandbox box;
  add_work(box);
  box.set_installed({"git"});

  const auto r = box.run({"select", "work"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Nothing existed in HOME, so nothing was backed up.
  EXPECT_EQ(r.out, "Profile work is active.\n");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(path_exists(box.state_dir() + "/backups"));

  EXPECT_EQ(read_file(box.home() + "/.config/app/conf"), "app\n");
  EXPECT_EQ(read_file(box.home() + "/.profile"), "work profile\n");
  EXPECT_EQ(read_file(box.home() + "/notes/readme"), "seed\n");
  // The snapshot keeps the managed paths only, not the seed file.
  EXPECT_EQ(names_in(box.snapshot_dir("work")), (Names{".config", ".profile"}));
  EXPECT_EQ(read_file(box.snapshot_dir("work") + "/.config/app/conf"), "app\n");

  EXPECT_EQ(read_file(box.state_file()), kWorkState);
  EXPECT_EQ(file_mode(box.state_dir()) & 07777, 0700u);
  EXPECT_EQ(file_mode(box.state_file()) & 07777, 0600u);
  EXPECT_EQ(file_mode(box.state_dir() + "/lock") & 07777, 0600u);
  // Only the missing names are checked to be package names; what is
  // installed is asked again after pacman.
  EXPECT_EQ(box.fake_log(), (Names{"pacman -Qq", "pacman -Sp --print-format %n -dd --noconfirm -- zsh vim",
                                   "sudo pacman -S --needed -- zsh git vim", "pacman -S --needed -- zsh git vim",
                                   "pacman -Qq"}));
}

TEST(SelectTest, SwitchingBacksUpAndRemovesTheManagedPathsGivenUp) {
  Sandbox box;
  add_work(box);
  add_home(box);
  box.set_installed({"git"});
  ASSERT_EQ(box.run({"select", "work"}).status, 0);
  box.write_home(".bashrc", "mine\n");
  const auto log_before = box.fake_log();

  const auto r = box.run({"select", "home"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string backup = backup_dir_of(r.out);
  ASSERT_FALSE(backup.empty()) << r.out;
  EXPECT_EQ(r.out, "Backup: " + backup + "\nProfile home is active.\n");
  EXPECT_EQ(names_in(box.state_dir() + "/backups"), Names{std::filesystem::path(backup).filename().string()});
  EXPECT_EQ(std::filesystem::path(backup).parent_path(), std::filesystem::path(box.state_dir() + "/backups"));
  EXPECT_EQ(file_mode(box.state_dir() + "/backups") & 07777, 0700u);
  EXPECT_EQ(file_mode(backup) & 07777, 0700u);

  // Everything the switch removed or overwrote is in the backup, below "home".
  EXPECT_EQ(names_in(backup), Names{"home"});
  EXPECT_EQ(read_file(backup + "/home/.config/app/conf"), "app\n");
  EXPECT_EQ(read_file(backup + "/home/.profile"), "work profile\n");
  EXPECT_EQ(read_file(backup + "/home/.bashrc"), "mine\n");

  EXPECT_FALSE(path_exists(box.home() + "/.config/app"));
  EXPECT_EQ(read_file(box.home() + "/.profile"), "home profile\n");
  EXPECT_EQ(read_file(box.home() + "/.bashrc"), "home bashrc\n");
  // A seed file is not managed, so it stays.
  EXPECT_EQ(read_file(box.home() + "/notes/readme"), "seed\n");

  // Without packages nothing was started; `work` stays retained and its
  // introduced packages stay recorded.
  EXPECT_EQ(box.fake_log(), log_before);
  const std::string state = read_file(box.state_file());
  EXPECT_TRUE(state.starts_with("schema = 5\nactive_profile = \"home\"\nintroduced_packages = [\n    \"vim\",\n"
                                "    \"zsh\",\n]\n\n[profiles.home]\n"))
      << state;
  EXPECT_NE(state.find("[profiles.work]\n"), std::string::npos) << state;
}

TEST(SelectTest, ReselectingTheActiveProfileRewritesItFromItsSnapshot) {
  Sandbox box;
  add_work(box);
  box.set_installed({"git"});
  ASSERT_EQ(box.run({"select", "work"}).status, 0);
  // Later changes to the content root do not reach a retained Profile.
  box.write_content("work", ".profile", "changed upstream\n");
  box.write_home(".profile", "edited by the user\n");
  const auto log_before = box.fake_log();

  const auto r = box.run({"select", "work"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string backup = backup_dir_of(r.out);
  ASSERT_FALSE(backup.empty()) << r.out;
  EXPECT_EQ(r.out, "Backup: " + backup + "\nProfile work is active.\n");
  EXPECT_EQ(read_file(backup + "/home/.profile"), "edited by the user\n");
  EXPECT_EQ(read_file(backup + "/home/.config/app/conf"), "app\n");
  EXPECT_EQ(read_file(box.home() + "/.profile"), "work profile\n");
  EXPECT_EQ(read_file(box.home() + "/.config/app/conf"), "app\n");

  // The stored packages are installed again, in byte order.
  auto log = box.fake_log();
  log.erase(log.begin(), log.begin() + static_cast<std::ptrdiff_t>(log_before.size()));
  EXPECT_EQ(log, (Names{"pacman -Qq", "sudo pacman -S --needed -- git vim zsh", "pacman -S --needed -- git vim zsh",
                        "pacman -Qq"}));
  EXPECT_EQ(read_file(box.state_file()), kWorkState);
}

TEST(SelectTest, RetainedProfileIsSelectedFromItsSnapshotAfterItsDeclarationWentAway) {
  Sandbox box;
  add_work(box);
  add_home(box);
  box.set_installed({"git", "vim", "zsh"});
  ASSERT_EQ(box.run({"select", "work"}).status, 0);
  // The declaration and the content root vanish.
  std::filesystem::remove_all(box.profile_root() + "/work");
  std::filesystem::remove_all(box.content_root("work"));

  for (const bool rejected : {false, true}) {
    ASSERT_EQ(box.run({"select", "home"}).status, 0);
    if (rejected) box.write_manifest("work", "schema = 4\n");
    const auto r = box.run({"select", "work"});
    ASSERT_EQ(r.status, 0) << r.err;
    if (rejected) {
      EXPECT_TRUE(r.err.starts_with("invalid profile " + box.profile_root() + "/work/profile.toml: ")) << r.err;
    } else {
      EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(r.out.ends_with("Profile work is active.\n")) << r.out;
    EXPECT_EQ(read_file(box.home() + "/.profile"), "work profile\n");
    EXPECT_EQ(read_file(box.home() + "/.config/app/conf"), "app\n");
    EXPECT_FALSE(path_exists(box.home() + "/.bashrc"));
    EXPECT_TRUE(read_file(box.state_file()).starts_with("schema = 5\nactive_profile = \"work\"\n"));
  }
}

TEST(SelectTest, KeepsTheNewestFiveBackups) {
  Sandbox box;
  for (const char* id : {"a", "b"}) {
    box.add_profile(id, {}, {".profile"});
    box.write_content(id, ".profile", std::string(id) + "\n");
  }
  ASSERT_EQ(box.run({"select", "a"}).status, 0);
  Names made;
  for (int i = 0; i < 7; ++i) {
    const auto r = box.run({"select", i % 2 == 0 ? "b" : "a"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string backup = backup_dir_of(r.out);
    ASSERT_FALSE(backup.empty()) << r.out;
    made.push_back(std::filesystem::path(backup).filename().string());
  }
  EXPECT_EQ(names_in(box.state_dir() + "/backups"), Names(made.end() - 5, made.end()));
  EXPECT_EQ(read_file(box.home() + "/.profile"), "b\n");
}

TEST(SelectTest, VerifyModeChecksWithoutInstalling) {
  Sandbox box;
  add_work(box);
  box.set_installed({"git"});

  const auto missing = box.run({"select", "work", "--packages", "verify"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "error: Profile packages are not installed: zsh, vim\n");
  EXPECT_EQ(box.fake_log(), Names{"pacman -Qq"});
  EXPECT_FALSE(path_exists(box.state_file()));
  EXPECT_FALSE(path_exists(box.state_dir() + "/profiles"));
  EXPECT_FALSE(path_exists(box.home() + "/.profile"));
  EXPECT_FALSE(path_exists(box.home() + "/notes"));

  box.set_installed({"vim", "git", "zsh"});
  const auto present = box.run({"select", "work", "--packages", "verify"});
  ASSERT_EQ(present.status, 0) << present.err;
  EXPECT_EQ(present.out, "Profile work is active.\n");
  EXPECT_EQ(box.fake_log(), (Names{"pacman -Qq", "pacman -Qq"}));
  EXPECT_TRUE(read_file(box.state_file()).starts_with("schema = 5\nactive_profile = \"work\"\nintroduced_packages = []\n"));
}

TEST(SelectTest, FailedInstallationSavesNothing) {
  Sandbox box;
  add_work(box);
  add_home(box);
  ASSERT_EQ(box.run({"select", "home"}).status, 0);
  const std::string state_before = read_file(box.state_file());

  const auto r = run_with_env(box, {"select", "work"}, {{"VORPEL_FAKE_CHANGE_EXIT", "1"}});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: pacman installation failed with exit status: 1\n");
  EXPECT_EQ(read_file(box.state_file()), state_before);
  EXPECT_FALSE(path_exists(box.snapshot_dir("work")));
  EXPECT_EQ(read_file(box.home() + "/.profile"), "home profile\n");
  EXPECT_FALSE(path_exists(box.home() + "/.config"));
  // A failed command releases the lock: the next one goes through.
  ASSERT_EQ(box.run({"select", "work"}).status, 0);
}

TEST(SelectTest, PackageStepFailuresEndTheCommandWithNothingSaved) {
  Sandbox box;
  add_work(box);
  add_home(box);
  ASSERT_EQ(box.run({"select", "home"}).status, 0);
  const std::string state_before = read_file(box.state_file());
  struct Case {
    std::map<std::string, std::optional<std::string>> env;
    std::string installed;
    std::string err;
  };
  const Case cases[] = {
      {{{"VORPEL_FAKE_QUERY_EXIT", "1"}}, "", "error: pacman package query failed with exit status: 1: \n"},
      {{{"VORPEL_FAKE_QUERY_SIGNAL", "TERM"}}, "", "error: pacman package query failed with signal: 15 (SIGTERM): \n"},
      {{}, "git\n\xffzsh\n", "error: invalid utf-8 sequence of 1 bytes from index 4\n"},
      {{{"VORPEL_FAKE_SUDO_SIGNAL", "TERM"}}, "", "error: pacman installation failed with signal: 15 (SIGTERM)\n"},
      {{{"VORPEL_FAKE_SUDO_EXIT", "1"}}, "", "error: pacman installation failed with exit status: 1\n"},
  };
  for (const auto& c : cases) {
    write_file(box.installed_path(), c.installed);
    const auto r = run_with_env(box, {"select", "work"}, c.env);
    EXPECT_EQ(r.status, 2) << c.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.ends_with(c.err)) << r.err;
    EXPECT_EQ(read_file(box.state_file()), state_before);
    EXPECT_FALSE(path_exists(box.snapshot_dir("work")));
    EXPECT_FALSE(path_exists(box.home() + "/.config"));
  }

  // CRLF line ends, blanks and a name given twice: "git" was there before,
  // so only "vim" and "zsh" are recorded as introduced.
  write_file(box.installed_path(), "git\r\n  \r\ngit\r\n");
  const auto r = box.run({"select", "work"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(read_file(box.state_file()).find("introduced_packages = [\n    \"vim\",\n    \"zsh\",\n]\n"),
            std::string::npos);
}

// pacman installed zz, then the snapshot failed (what HOME would refuse is
// refused before pacman runs, so the fault is a file larger than the run
// may write): zz is recorded as introduced (and nothing else changes in the
// state), so prune can remove it; the new Profile stays unretained, without
// a snapshot, and selecting it again is a first activation.
TEST(SelectTest, PackagesInstalledBeforeALaterFailureAreStillRecorded) {
  Sandbox box;
  add_home(box);
  box.add_profile("w", {"zz", "git"}, {".config/app"});
  const std::string conf(std::size_t{2} << 20, 'w');
  box.write_content("w", ".config/app/conf", conf);
  box.set_installed({"git"});
  ASSERT_EQ(box.run({"select", "home"}).status, 0);
  const std::string state_before = read_file(box.state_file());

  // Past the limit a write fails with EFBIG rather than a signal.
  RunOptions limited;
  limited.env = box.env;
  const auto r = run_program({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 1024; exec \"$0\" \"$@\"", vorpel_binary(),
                              "select", "w"},
                             limited);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("error: I/O at " + box.state_dir() + "/profiles/w/")) << r.err;
  EXPECT_NE(r.err.find("/.config/app/conf: File too large"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(box.installed_path()), "git\nzz\n");
  std::string expected = state_before;
  expected.replace(expected.find("introduced_packages = []"), 24, "introduced_packages = [\"zz\"]");
  EXPECT_EQ(read_file(box.state_file()), expected);
  EXPECT_FALSE(path_exists(box.state_dir() + "/profiles/w"));

  const auto pruned = box.run({"prune"});
  ASSERT_EQ(pruned.status, 0) << pruned.err;
  EXPECT_EQ(read_file(box.installed_path()), "git\n");
  EXPECT_EQ(read_file(box.state_file()), state_before);

  const auto again = box.run({"select", "w"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(read_file(box.home() + "/.config/app/conf"), conf);
  EXPECT_NE(read_file(box.state_file()).find("introduced_packages = [\"zz\"]"), std::string::npos);
}

// Creates a file when it goes out of scope, so that a fake sudo waiting for
// it never outlives a failed test.
class FileOnExit {
 public:
  explicit FileOnExit(std::string path) : path_(std::move(path)) {}
  ~FileOnExit() { create(); }
  void create() const {
    if (!path_exists(path_)) write_file(path_, "");
  }

 private:
  std::string path_;
};

// Whatever pacman did before it failed, was interrupted or ended well
// without a package, the state records exactly the declared packages it
// installed, and the command fails before HOME changes.
TEST(SelectTest, RecordsWhatPacmanReallyInstalledAndFailsWhileADeclaredPackageIsMissing) {
  Sandbox box;
  add_work(box);
  add_home(box);
  box.set_installed({"git"});
  ASSERT_EQ(box.run({"select", "home"}).status, 0);
  const std::string state_before = read_file(box.state_file());
  std::string with_zsh = state_before;
  with_zsh.replace(with_zsh.find("introduced_packages = []"), 24, "introduced_packages = [\"zsh\"]");
  struct Case {
    std::map<std::string, std::optional<std::string>> env;
    std::string err;
  };
  const Case cases[] = {
      {{{"VORPEL_FAKE_NOT_INSTALLED", "vim"}},
       "error: pacman installation succeeded but Profile packages are not installed: vim\n"},
      {{{"VORPEL_FAKE_NOT_INSTALLED", "vim"}, {"VORPEL_FAKE_INSTALL_EXIT", "1"}},
       "error: pacman installation failed with exit status: 1\n"},
      {{{"VORPEL_FAKE_NOT_INSTALLED", "vim"}, {"VORPEL_FAKE_INSTALL_SIGNAL", "INT"}},
       "error: pacman installation failed with signal: 2 (SIGINT)\n"},
  };
  for (const auto& c : cases) {
    box.set_installed({"git"});
    box.write_state(state_before);
    const auto r = run_with_env(box, {"select", "work"}, c.env);
    EXPECT_EQ(r.status, 2) << c.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(read_file(box.installed_path()), "git\nzsh\n");
    EXPECT_EQ(read_file(box.state_file()), with_zsh) << c.err;
    EXPECT_FALSE(path_exists(box.snapshot_dir("work")));
    EXPECT_EQ(read_file(box.home() + "/.profile"), "home profile\n");
    EXPECT_FALSE(path_exists(box.home() + "/.config"));
  }
  // So prune can take it again.
  ASSERT_EQ(box.run({"prune"}).status, 0);
  EXPECT_EQ(read_file(box.installed_path()), "git\n");
  EXPECT_EQ(read_file(box.state_file()), state_before);
}

// The packages about to be installed are in the state file while pacman
// runs, so a tool killed meanwhile leaks none; the record is corrected
// afterwards.
TEST(SelectTest, PackagesAboutToBeInstalledAreRecordedBeforePacmanStarts) {
  Sandbox box;
  add_work(box);
  box.set_installed({"git"});
  const std::string started = box.root() + "/sudo-started";
  const std::string release = box.root() + "/sudo-release";
  auto run = std::async(std::launch::async, [&] {
    return run_with_env(box, {"select", "work"},
                        {{"VORPEL_FAKE_SUDO_STARTED", started},
                         {"VORPEL_FAKE_SUDO_WAIT_FOR", release},
                         {"VORPEL_FAKE_NOT_INSTALLED", "zsh"}});
  });
  FileOnExit releaser(release);
  ASSERT_TRUE(wait_until([&] { return path_exists(started); })) << "select never reached sudo";
  EXPECT_EQ(read_file(box.state_file()),
            "schema = 5\nintroduced_packages = [\n    \"vim\",\n    \"zsh\",\n]\n\n[profiles]\n");
  releaser.create();
  const auto r = run.get();
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "error: pacman installation succeeded but Profile packages are not installed: zsh\n");
  EXPECT_EQ(read_file(box.state_file()), "schema = 5\nintroduced_packages = [\"vim\"]\n\n[profiles]\n");
}

// A record of a declared package that pacman still has not installed (one a
// tool killed while pacman ran leaves) goes as soon as the next run shows
// it: kept until a prune, it would make a package the user installs
// meanwhile look like one the tool may remove.
TEST(SelectTest, AnEarlierRecordOfADeclaredPackageStillMissingIsDropped) {
  Sandbox box;
  add_work(box);
  box.set_installed({"git"});
  box.write_state("schema = 5\nintroduced_packages = [\n    \"vim\",\n    \"zsh\",\n]\n\n[profiles]\n");
  for (const char* exit_status : {"0", "1"}) {
    box.set_installed({"git"});
    const auto r = run_with_env(box, {"select", "work"},
                                {{"VORPEL_FAKE_NOT_INSTALLED", "vim"}, {"VORPEL_FAKE_INSTALL_EXIT", exit_status}});
    EXPECT_EQ(r.status, 2) << exit_status;
    EXPECT_EQ(read_file(box.state_file()), "schema = 5\nintroduced_packages = [\"zsh\"]\n\n[profiles]\n")
        << exit_status;
  }
}

// pacman would install a group's members or a name's provider, and the name
// declared would never be installed itself: refused before pacman runs.
TEST(SelectTest, GroupsAndProvidedNamesAreRefusedBeforeAnythingIsInstalled) {
  Sandbox box;
  box.env["VORPEL_FAKE_GROUPS"] = box.root() + "/fake-groups";
  box.env["VORPEL_FAKE_PROVIDES"] = box.root() + "/fake-provides";
  write_file(box.root() + "/fake-groups", "devel make gcc\n");
  write_file(box.root() + "/fake-provides", "sh bash\n");
  box.add_profile("g", {"git", "devel", "sh", "bash"}, {});
  box.set_installed({"bash"});
  const auto r = box.run({"select", "g"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "error: Profiles declare package names, not groups or provided names: devel resolves to make, gcc; sh "
            "resolves to bash\n");
  for (const auto& line : box.fake_log()) EXPECT_FALSE(line.starts_with("sudo")) << line;
  EXPECT_EQ(read_file(box.installed_path()), "bash\n");
  EXPECT_FALSE(path_exists(box.state_file()));
}

// Without new packages a failure leaves the state file as it was, in either
// package mode.
TEST(SelectTest, FailureWithoutNewPackagesSavesNothing) {
  Sandbox box;
  add_home(box);
  box.add_profile("w", {"git"}, {".config/app"});
  box.write_content("w", ".config/app/conf", "w\n");
  box.set_installed({"git"});
  ASSERT_EQ(box.run({"select", "home"}).status, 0);
  box.write_home(".config", "file\n");
  const std::string state_before = read_file(box.state_file());
  for (const char* mode : {"install", "verify"}) {
    const auto r = box.run({"select", "w", "--packages", mode});
    EXPECT_EQ(r.status, 2) << mode;
    EXPECT_EQ(read_file(box.state_file()), state_before) << mode;
    EXPECT_FALSE(path_exists(box.state_dir() + "/profiles/w")) << mode;
  }
}

// A link at "profiles" is refused at a first activation too, before pacman
// runs and before anything is written where it points.
TEST(SelectTest, FirstActivationRefusesALinkAtProfiles) {
  Sandbox box;
  add_work(box);
  make_dirs(box.root() + "/outside");
  make_dirs(box.state_dir());
  make_symlink(box.root() + "/outside", box.state_dir() + "/profiles");
  const auto r = box.run({"select", "work"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "error: I/O at " + box.state_dir() + "/profiles: Too many levels of symbolic links (os error 40): " +
                       "Too many levels of symbolic links (os error 40)\n");
  EXPECT_EQ(box.fake_log(), Names{});
  EXPECT_EQ(names_in(box.root() + "/outside"), Names{});
  EXPECT_FALSE(path_exists(box.home() + "/.profile"));
}

TEST(SelectTest, PlanningFaultsStopTheCommandBeforeAnyPackageRun) {
  Sandbox box;
  box.add_profile("work", {"zsh"}, {".config/app"});
  box.write_content("work", ".config/app/conf", "app\n");
  make_dirs(box.root() + "/elsewhere");
  make_symlink(box.root() + "/elsewhere", box.home() + "/.config");
  const auto r = box.run({"select", "work"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: configuration parent " + box.home() + "/.config is a symbolic link\n");
  EXPECT_EQ(box.fake_log(), Names{});
  EXPECT_FALSE(path_exists(box.state_file()));
  EXPECT_FALSE(path_exists(box.state_dir() + "/profiles"));
  EXPECT_EQ(names_in(box.root() + "/elsewhere"), Names{});

  const auto unknown = box.run({"select", "nope"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err, "error: unknown Profile nope\n");
  // The id is looked up only once the lock is held.
  EXPECT_TRUE(path_exists(box.state_dir() + "/lock"));
  EXPECT_FALSE(path_exists(box.state_file()));
}

TEST(SelectTest, ConcurrentSelectsAreSerialisedByTheLock) {
  Sandbox box;
  add_work(box);
  add_home(box);
  const std::string started = box.root() + "/sudo-started";
  const std::string release = box.root() + "/sudo-release";

  // The first select holds the lock while its sudo waits for `release`.
  auto first = std::async(std::launch::async, [&] {
    return run_with_env(box, {"select", "work"},
                        {{"VORPEL_FAKE_SUDO_STARTED", started}, {"VORPEL_FAKE_SUDO_WAIT_FOR", release}});
  });
  std::future<RunResult> second;
  FileOnExit releaser(release);  // destroyed before the futures wait

  ASSERT_TRUE(wait_until([&] { return path_exists(started); })) << "the first select never reached sudo";
  second = std::async(std::launch::async, [&] { return box.run({"select", "home"}); });

  // The second one must be blocked on the lock, not finished.
  const std::string lock = box.state_dir() + "/lock";
  if (lock_has_waiter(lock).has_value()) {
    ASSERT_TRUE(wait_until([&] {
      return lock_has_waiter(lock).value_or(false) ||
             second.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }));
    ASSERT_NE(second.wait_for(std::chrono::seconds(0)), std::future_status::ready)
        << "the second select finished while the first held the lock";
    EXPECT_TRUE(lock_has_waiter(lock).value_or(false));
  }
  releaser.create();

  const auto a = first.get();
  const auto b = second.get();
  ASSERT_EQ(a.status, 0) << a.err;
  ASSERT_EQ(b.status, 0) << b.err;
  EXPECT_EQ(a.out, "Profile work is active.\n");

  // The second one saw what the first saved: it switched away from `work`.
  const std::string backup = backup_dir_of(b.out);
  ASSERT_FALSE(backup.empty()) << b.out;
  EXPECT_EQ(read_file(backup + "/home/.profile"), "work profile\n");
  EXPECT_FALSE(path_exists(box.home() + "/.config/app"));
  const std::string state = read_file(box.state_file());
  EXPECT_TRUE(state.starts_with("schema = 5\nactive_profile = \"home\"\nintroduced_packages = [\n    \"git\",\n"))
      << state;
  EXPECT_NE(state.find("[profiles.work]\n"), std::string::npos) << state;
}

}  // namespace
}  // namespace vorpel::testing
