#include "core/activation/activation_plan.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.hpp"

namespace vorpel {
namespace {

using testing::make_dirs;
using testing::make_symlink;
using testing::TempDir;
using testing::write_file;

ProfileState managing(PathSet manage) {
  ProfileState p;
  p.name = "P";
  p.manage = std::move(manage);
  return p;
}

std::vector<std::string> relatives(const ActivationPlan& plan) {
  std::vector<std::string> out;
  for (const auto& w : plan.written) out.push_back(w.relative);
  return out;
}


// HOME, the default state location below it, and a Profile source holding
// the managed paths used below.
class PlanTest : public ::testing::Test {
 protected:
  PlanTest() : home(t / "home"), state_path(t / "home/.local/state/vorpel/state.toml"), source(t / "snapshot") {
    make_dirs(home);
    for (const char* f : {"a", "b", "c", "d", ".bashrc", ".config/app/conf", ".config/other"}) {
      write_file(source + "/" + f, f);
    }
    state.profiles["old"] = managing({"a/b/c", "d", "a/x"});
    state.profiles["cur"] = managing({"a", "b"});
  }

  Result<ActivationPlan> plan(const std::string& id, PathSet manage, bool in_place,
                              std::optional<std::string> seed = std::nullopt) {
    return build_activation_plan(state, id, managing(std::move(manage)), PlanSources{source, std::move(seed)}, home,
                                 state_path, in_place);
  }
  std::string h(const std::string& relative) const { return home + "/" + relative; }

  TempDir t;
  std::string home;
  std::string state_path;
  std::string source;
  UserState state;
};

TEST_F(PlanTest, SwitchGivesUpTheActiveProfilesPathsDeepestFirst) {
  state.active_profile = "old";
  const auto p = plan("new", {".bashrc", ".config/app"}, false);
  ASSERT_TRUE(p) << p.error().text();
  EXPECT_EQ(p->removed, (std::vector<std::string>{h("a/b/c"), h("a/x"), h("d")}));
  EXPECT_EQ(p->written, (std::vector<PlannedWrite>{{".bashrc", source + "/.bashrc", h(".bashrc")},
                                                  {".config/app", source + "/.config/app", h(".config/app")}}));
}

TEST_F(PlanTest, WhatIsGivenUpDependsOnTheActiveProfileAndTheSwitch) {
  const struct {
    std::optional<std::string> active;
    std::string id;
    PathSet manage;
    bool in_place;
    std::vector<std::string> removed;
    std::vector<std::string> written;
  } cases[] = {
      // no active Profile, or one the state does not record
      {std::nullopt, "cur", {"a"}, false, {}, {"a"}},
      {"ghost", "cur", {"a"}, false, {}, {"a"}},
      // selecting the active Profile again: its recorded paths go, then come back
      {"cur", "cur", {"a", "b"}, false, {"a", "b"}, {"a", "b"}},
      // update of the active Profile whose set changed from a, b to b, c
      {"cur", "cur", {"b", "c"}, true, {"a", "b"}, {"b", "c"}},
      // update of a Profile that is not active, or with none active: nothing
      {"old", "cur", {"b", "c"}, true, {}, {}},
      {std::nullopt, "cur", {"b", "c"}, true, {}, {}},
      // update of the active Profile that the state does not record
      {"new", "new", {"c"}, true, {}, {"c"}},
  };
  for (const auto& c : cases) {
    state.active_profile = c.active;
    const auto p = plan(c.id, c.manage, c.in_place);
    ASSERT_TRUE(p) << p.error().text();
    std::vector<std::string> removed;
    for (const auto& r : c.removed) removed.push_back(h(r));
    EXPECT_EQ(p->removed, removed) << c.active.value_or("-") << " " << c.id << " " << c.in_place;
    EXPECT_EQ(relatives(*p), c.written) << c.active.value_or("-") << " " << c.id << " " << c.in_place;
  }
}

TEST_F(PlanTest, SourcesAreCheckedEvenWhenNothingIsWritten) {
  state.active_profile = "old";
  make_dirs(source + "/dir");
  make_symlink("dir", source + "/dir-link");
  make_symlink("a", source + "/file-link");
  ASSERT_EQ(::mkfifo((source + "/pipe").c_str(), 0600), 0);
  for (bool in_place : {false, true}) {
    EXPECT_EQ(plan("cur", {"a", "missing"}, in_place).error().text(),
              "I/O at " + source + "/missing: No such file or directory (os error 2)");
    for (const char* bad : {"dir-link", "file-link", "pipe"}) {
      EXPECT_EQ(plan("cur", {bad}, in_place).error().text(), "unsupported profile content " + source + "/" + bad);
    }
    // "dir-link/" names the link too, not the directory it points to
    EXPECT_EQ(plan("cur", {"dir-link/"}, in_place).error().text(),
              "unsupported profile content " + source + "/dir-link/");
  }
  EXPECT_TRUE(plan("cur", {"dir", "a"}, true));
}

TEST_F(PlanTest, MissingSourceIsReportedFirst) {
  state.active_profile = "old";
  source = t / "no-snapshot";
  for (bool in_place : {false, true}) {
    EXPECT_EQ(plan("cur", {"missing"}, in_place).error().text(), "profile source " + source + " does not exist");
  }
  write_file(source, "a file");
  EXPECT_EQ(plan("cur", {}, false).error().text(), "profile source " + source + " does not exist");
  // a link to a directory is followed
  make_dirs(t / "real");
  source = t / "source-link";
  make_symlink(t / "real", source);
  EXPECT_TRUE(plan("cur", {}, false));
}

TEST_F(PlanTest, SeedFilesAreMergedInComponentOrderUnlessCovered) {
  const std::string seed = t / "content";
  for (const char* f : {".config/app/conf", ".config/app/extra", ".config/a", ".config-x", ".bashrc", "b", "z/y"}) {
    write_file(seed + "/" + f, f);
  }
  const auto p = plan("new", {".config/app", "b"}, false, seed);
  ASSERT_TRUE(p) << p.error().text();
  EXPECT_EQ(relatives(*p), (std::vector<std::string>{".bashrc", ".config/a", ".config/app", ".config-x", "b", "z/y"}));
  EXPECT_EQ(p->written[0], (PlannedWrite{".bashrc", seed + "/.bashrc", h(".bashrc")}));
  EXPECT_EQ(p->written[2], (PlannedWrite{".config/app", source + "/.config/app", h(".config/app")}));
  EXPECT_EQ(p->written[4].source, source + "/b");  // the managed path's write, not the seed file's
  // a managed path covers seed files by its components, however it is spelled
  const auto spelled = plan("new", {".config//app/", "b"}, false, seed);
  ASSERT_TRUE(spelled) << spelled.error().text();
  EXPECT_EQ(relatives(*spelled),
            (std::vector<std::string>{".bashrc", ".config/a", ".config//app/", ".config-x", "b", "z/y"}));
}

TEST_F(PlanTest, SeedRefusals) {
  const std::string seed = t / "content";
  EXPECT_EQ(plan("new", {"a"}, false, seed).error().text(), "profile seed source " + seed + " does not exist");
  write_file(seed + "/sub/file", "x");
  make_symlink("file", seed + "/sub/link");
  EXPECT_EQ(plan("new", {"a"}, false, seed).error().text(), "unsupported profile content " + seed + "/sub/link");
  // also where a managed path covers the link: the whole seed is checked
  write_file(source + "/sub/file", "x");
  EXPECT_EQ(plan("new", {"sub"}, false, seed).error().text(), "unsupported profile content " + seed + "/sub/link");
  // a seed file reaching into the state directory
  ASSERT_EQ(::unlink((seed + "/sub/link").c_str()), 0);
  write_file(seed + "/.local/state/vorpel/state.toml", "x");
  EXPECT_EQ(plan("new", {"a"}, false, seed).error().text(),
            "configuration path " + h(".local/state/vorpel/state.toml") + " overlaps Vorpel state " +
                h(".local/state/vorpel"));
}

TEST_F(PlanTest, GivenUpPathFailingItsCheckEndsPlanning) {
  state.active_profile = "cur";
  state.profiles["cur"] = managing({"a", ".local/state"});
  EXPECT_EQ(plan("new", {}, false).error().text(),
            "configuration path " + h(".local/state") + " overlaps Vorpel state " + h(".local/state/vorpel"));
}

TEST(ResolveHomePath, CleanPathsClearOfTheStateDirectory) {
  const std::string home = "/nonexistent-home/u";
  const std::string state = home + "/.local/state/vorpel/state.toml";
  const std::string state_dir = home + "/.local/state/vorpel";
  const struct { std::string relative; std::string result; } cases[] = {
      {".config/nvim", home + "/.config/nvim"},
      {"a//b/", home + "/a//b/"},
      {".local/share", home + "/.local/share"},
      {".local/state/other", home + "/.local/state/other"},
      {".local/state/vorpelx", home + "/.local/state/vorpelx"},
      {"", "invalid HOME-relative path "},
      {"/etc/passwd", "invalid HOME-relative path /etc/passwd"},
      {"./a", "invalid HOME-relative path ./a"},
      {"a/../../etc", "invalid HOME-relative path a/../../etc"},
      {"\xFF/..", "invalid HOME-relative path \xEF\xBF\xBD/.."},
      {".local", "configuration path " + home + "/.local overlaps Vorpel state " + state_dir},
      {".local/state", "configuration path " + home + "/.local/state overlaps Vorpel state " + state_dir},
      {".local/state/vorpel", "configuration path " + home + "/.local/state/vorpel overlaps Vorpel state " + state_dir},
      {".local//state/vorpel/x",
       "configuration path " + home + "/.local//state/vorpel/x overlaps Vorpel state " + state_dir},
  };
  for (const auto& c : cases) {
    const auto r = resolve_home_path(home, state, c.relative);
    EXPECT_EQ(r ? *r : r.error().text(), c.result) << c.relative;
  }
  // a state directory elsewhere overlaps nothing in HOME
  EXPECT_EQ(resolve_home_path(home, "/var/st/vorpel/state.toml", ".local/state/vorpel"),
            home + "/.local/state/vorpel");
  EXPECT_EQ(resolve_home_path(home, home + "/st/vorpel/state.toml", "st").error().text(),
            "configuration path " + home + "/st overlaps Vorpel state " + home + "/st/vorpel");
  EXPECT_EQ(resolve_home_path(home, "/", "a").error().text(), "state path has no parent");
}

TEST(ResolveHomePath, NoSymbolicLinkBetweenHomeAndTarget) {
  TempDir t;
  make_dirs(t / "elsewhere/app");
  make_dirs(t / "real-home/a");
  make_symlink(t / "real-home", t / "home");  // HOME itself may be a link
  const std::string home = t / "home";
  make_symlink(t / "elsewhere", home + "/.config");
  make_symlink(t / "elsewhere", home + "/a/b");
  make_symlink("dangling", home + "/dangling");
  const std::string state = t / "state/vorpel/state.toml";
  const struct { std::string relative; std::string result; } cases[] = {
      {".config", home + "/.config"},  // the target itself may be a link
      {".config/app", "configuration parent " + home + "/.config is a symbolic link"},
      {"a/b", home + "/a/b"},
      {"a/b/c/d", "configuration parent " + home + "/a/b is a symbolic link"},
      {"dangling/x", "configuration parent " + home + "/dangling is a symbolic link"},
      {"missing/on/the/way", home + "/missing/on/the/way"},
  };
  for (const auto& c : cases) {
    const auto r = resolve_home_path(home, state, c.relative);
    EXPECT_EQ(r ? *r : r.error().text(), c.result) << c.relative;
  }
}

// Links on the way to either side, or ".." in the state location, can hide
// an overlap from the text; what the paths name on disk decides.
TEST(ResolveHomePath, StateDirectoryIsRecognisedWhereItReallyLies) {
  TempDir t;
  const std::string home = t / "home";
  const auto overlap = [](const std::string& target, const std::string& state_dir) {
    return "configuration path " + target + " overlaps Vorpel state " + state_dir;
  };
  const auto check = [&home](const std::string& state_dir, const std::string& relative, const std::string& result) {
    const auto r = resolve_home_path(home, state_dir + "/state.toml", relative);
    EXPECT_EQ(r ? *r : r.error().text(), result) << state_dir << " " << relative;
  };

  // ~/.local is a link into a managed tree
  make_dirs(home + "/.config/other/real");
  make_symlink(home + "/.config/other/real", home + "/.local");
  const std::string state_dir = home + "/.local/state/vorpel";
  check(state_dir, ".config/other", overlap(home + "/.config/other", state_dir));
  check(state_dir, ".config", overlap(home + "/.config", state_dir));
  check(state_dir, ".config/other/real/state/vorpel/x",
        overlap(home + "/.config/other/real/state/vorpel/x", state_dir));
  check(state_dir, ".config/else", home + "/.config/else");
  check(state_dir, ".config/other-x", home + "/.config/other-x");

  // ".." in the state location, whether the directory before it exists or not
  make_dirs(home + "/x");
  for (const std::string via : {"x", "missing"}) {
    const std::string dir = home + "/" + via + "/../st/vorpel";
    check(dir, "st", overlap(home + "/st", dir));
    check(dir, "st/vorpel/profiles", overlap(home + "/st/vorpel/profiles", dir));
    check(dir, "stx", home + "/stx");
    // the way to the state directory passes through it
    check(dir, via, overlap(home + "/" + via, dir));
  }

  // the state directory itself, or a directory above it, a link to a place in HOME
  make_dirs(home + "/data/state");
  make_dirs(home + "/vstate");
  make_dirs(home + "/other/.local");
  make_symlink(home + "/data/state", home + "/other/.local/state");
  make_symlink(home + "/vstate", home + "/data/state/vorpel");
  const std::string linked = home + "/other/.local/state/vorpel";
  check(linked, "data", overlap(home + "/data", linked));
  check(linked, "vstate/profiles", overlap(home + "/vstate/profiles", linked));
  check(linked, "data2", home + "/data2");
  // a link at the target itself is replaced, never followed
  make_symlink(home + "/vstate", home + "/to-state");
  check(linked, "to-state", home + "/to-state");

  // HOME reached through a link, the state directory by its real path
  make_symlink(home, t / "home-link");
  const auto r = resolve_home_path(t / "home-link", home + "/st/vorpel/state.toml", "st");
  EXPECT_EQ(r ? *r : r.error().text(), overlap(t / "home-link/st", home + "/st/vorpel"));
}

// The state directory on another disk through a link that meets no target
// keeps working, for planning as a whole.
TEST(ResolveHomePath, StateDirectoryBehindALinkThatMeetsNoTarget) {
  TempDir t;
  const std::string home = t / "home";
  make_dirs(t / "disk/state");
  make_dirs(home + "/.local");
  make_symlink(t / "disk/state", home + "/.local/state");
  write_file(t / "snapshot/.config/app", "x");
  write_file(t / "snapshot/.local/share/app", "y");
  UserState state;
  const auto plan = build_activation_plan(state, "p", managing({".config", ".local/share"}),
                                          PlanSources{t / "snapshot", std::nullopt}, home,
                                          home + "/.local/state/vorpel/state.toml", false);
  ASSERT_TRUE(plan) << plan.error().text();
  EXPECT_EQ(relatives(*plan), (std::vector<std::string>{".config", ".local/share"}));
}

// A NUL byte would cut a path short where the system reads it: HOME/a
// instead of HOME/a<NUL>b. Such a path fails planning wherever it is, the
// given-up paths included.
TEST_F(PlanTest, PathsWithANulByteFailPlanning) {
  using namespace std::string_literals;
  const std::string nul = "a\0b"s;
  const std::string unusable = ": file name contained an unexpected NUL byte";
  EXPECT_EQ(resolve_home_path(home, state_path, nul).error().text(), "I/O at " + h(nul) + unusable);
  state.active_profile = "cur";
  state.profiles["cur"] = managing({nul});
  EXPECT_EQ(plan("new", {"b"}, false).error().text(), "I/O at " + h(nul) + unusable);
  EXPECT_EQ(plan("cur", {"b"}, true).error().text(), "I/O at " + h(nul) + unusable);
  state.active_profile.reset();
  EXPECT_EQ(plan("new", {nul}, false).error().text(), "I/O at " + source + "/" + nul + unusable);
}

TEST(DropCoveredPaths, EqualOrBelowAManagedPath) {
  std::vector<std::string> files{"b", ".config/app/x", ".config/app", ".config/apps", "a/b/c", ".config-x", "b/"};
  drop_covered_paths(files, PathSet{".config/app", "a//b", "b"});
  EXPECT_EQ(files, (std::vector<std::string>{".config/apps", ".config-x"}));
  drop_covered_paths(files, PathSet{});
  EXPECT_EQ(files.size(), 2u);
}

}  // namespace
}  // namespace vorpel
