// A state file renamed into place whose directory then fails to sync: the
// new state stands, so the snapshot it retains stays, and the error says
// the state was written but not synced. A snapshot swap cut off between its
// two renames is put back by the next select. A backup directory that
// cannot be made private goes again.
#include <stdio.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/sandbox.hpp"

namespace vorpel::testing {
namespace {

constexpr const char* kStrace = "/usr/bin/strace";

RunResult run_traced(const Sandbox& box, const std::vector<std::string>& trace, const std::vector<std::string>& args) {
  std::vector<std::string> argv{kStrace, "-f", "-qq", "-e", "signal=none"};
  argv.insert(argv.end(), trace.begin(), trace.end());
  argv.push_back("--");
  argv.push_back(vorpel_binary());
  argv.insert(argv.end(), args.begin(), args.end());
  RunOptions options;
  options.env = box.env;
  // A sanitized build's leak check cannot run under a tracer.
  const char* asan = std::getenv("ASAN_OPTIONS");
  options.env["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") + ":detect_leaks=0";
  return run_program(argv, options);
}

// The number, counted from 1, of the last fsync of the state directory in
// a run of `args`, found in a twin sandbox that `prepare` set up alike.
int last_state_dir_sync(const std::function<void(Sandbox&)>& prepare, const std::vector<std::string>& args) {
  Sandbox twin;
  prepare(twin);
  const std::string log = twin.root() + "/trace";
  const RunResult r = run_traced(twin, {"-y", "-e", "trace=fsync", "-o", log}, args);
  if (r.status != 0) return 0;
  std::ifstream in(log);
  int count = 0;
  int last = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.find("fsync(") == std::string::npos) continue;
    ++count;
    if (line.find("<" + twin.state_dir() + ">)") != std::string::npos) last = count;
  }
  return last;
}

RunResult run_with_failing_sync(const Sandbox& box, int n, const std::vector<std::string>& args) {
  return run_traced(box, {"-o", "/dev/null", "-e", "trace=fsync", "-e", "inject=fsync:error=EIO:when=" + std::to_string(n)},
                    args);
}

std::string not_synced_error(const Sandbox& box) {
  const std::string eio = "Input/output error (os error 5)";
  return "error: state file written but not synced: I/O at " + box.state_dir() + ": " + eio + ": " + eio + "\n";
}

// Sets `box` up with `prepare` and runs `args` there with the last sync of
// the state directory failing (its number taken from a twin run): the
// command must say that the state was written but not synced.
// HOME has changed by then, so the backup line comes first; the backup
// holds what `home_file` held.
void run_with_unsynced_state(Sandbox& box, const std::function<void(Sandbox&)>& prepare,
                             const std::vector<std::string>& args, const std::string& home_file) {
  const int n = last_state_dir_sync(prepare, args);
  ASSERT_GT(n, 0) << "no sync of the state directory seen";
  prepare(box);
  const std::string kept = read_file(box.home() + "/" + home_file);
  const RunResult r = run_with_failing_sync(box, n, args);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, not_synced_error(box));
  const std::string backup = backup_dir_of(r.out);
  ASSERT_FALSE(backup.empty()) << r.out;
  EXPECT_EQ(r.out, "Backup: " + backup + "\n");
  EXPECT_EQ(read_file(backup + "/home/" + home_file), kept);
}

class StateSyncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kStrace, X_OK) != 0) GTEST_SKIP() << "strace is not installed";
    if (run_program({kStrace, "-qq", "-o", "/dev/null", "/bin/true"}).status != 0) {
      GTEST_SKIP() << "strace cannot trace here (ptrace not permitted)";
    }
  }
};

void declare_work(Sandbox& box) {
  box.add_profile("work", {"zsh"}, {".cfg"});
  box.write_content("work", ".cfg/app", "one\n");
  box.write_home(".cfg/mine", "mine\n");
  box.set_installed({"zsh"});
}

TEST_F(StateSyncTest, SelectKeepsTheSnapshotTheWrittenStateRetains) {
  Sandbox box;
  run_with_unsynced_state(box, declare_work, {"select", "work"}, ".cfg/mine");
  EXPECT_TRUE(read_file(box.state_file()).starts_with("schema = 5\nactive_profile = \"work\"\n"));
  EXPECT_EQ(read_file(box.snapshot_dir("work") + "/.cfg/app"), "one\n");
  // The state and the snapshot agree: the Profile is selected again from it.
  box.write_content("work", ".cfg/app", "changed\n");
  const RunResult again = box.run({"select", "work"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(read_file(box.home() + "/.cfg/app"), "one\n");
}

TEST_F(StateSyncTest, UpdateKeepsTheNewSnapshotTheWrittenStateDescribes) {
  const auto prepare = [](Sandbox& box) {
    declare_work(box);
    if (box.run({"select", "work"}).status != 0) throw std::runtime_error("select failed");
    box.add_profile("work", {"zsh"}, {".cfg", ".rc"});
    box.write_content("work", ".cfg/app", "two\n");
    box.write_content("work", ".rc", "rc\n");
  };
  Sandbox box;
  run_with_unsynced_state(box, prepare, {"update", "work"}, ".cfg/app");
  EXPECT_NE(read_file(box.state_file()).find("\".rc\""), std::string::npos);
  EXPECT_EQ(read_file(box.snapshot_dir("work") + "/.cfg/app"), "two\n");
  EXPECT_EQ(read_file(box.snapshot_dir("work") + "/.rc"), "rc\n");
  const RunResult again = box.run({"select", "work"});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(read_file(box.home() + "/.rc"), "rc\n");
}

// An update on a file system that cannot exchange two names, killed
// between the two renames of its snapshot swap: the state still holds the
// old entry, and the next select finds the old snapshot put back.
TEST_F(StateSyncTest, UpdateKilledInTheMiddleOfItsSnapshotSwapIsRepairedByTheNextSelect) {
  Sandbox box;
  declare_work(box);
  ASSERT_EQ(box.run({"select", "work"}).status, 0);
  const std::string state = read_file(box.state_file());
  box.write_content("work", ".cfg/app", "two\n");
  const RunResult killed = run_traced(
      box, {"-o", "/dev/null", "-e", "trace=renameat,renameat2", "-e", "inject=renameat2:error=EINVAL:when=1", "-e",
            "inject=renameat:error=EIO:signal=KILL:when=2"},
      {"update", "work"});
  EXPECT_NE(killed.status, 0);
  const std::string snapshot = box.snapshot_dir("work");
  ASSERT_FALSE(path_exists(snapshot)) << "the kill came elsewhere";
  ASSERT_TRUE(path_exists(snapshot + ".old"));
  EXPECT_EQ(read_file(box.state_file()), state);

  const RunResult r = box.run({"select", "work"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(snapshot + "/.cfg/app"), "one\n");
  EXPECT_EQ(read_file(box.home() + "/.cfg/app"), "one\n");
  EXPECT_FALSE(path_exists(snapshot + ".old"));
}

// The number, counted from 1, of the fchmod in a run of `args` that makes
// a fresh backup directory private, found in a twin sandbox set up alike.
int backup_dir_narrowing(const std::function<void(Sandbox&)>& prepare, const std::vector<std::string>& args) {
  Sandbox twin;
  prepare(twin);
  const std::string log = twin.root() + "/trace";
  if (run_traced(twin, {"-y", "-e", "trace=fchmod", "-o", log}, args).status != 0) return 0;
  std::ifstream in(log);
  const std::regex backup_dir("fchmod\\([0-9]+<" + twin.state_dir() + "/backups/[0-9]+-[0-9]+>,");
  int count = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.find("fchmod(") == std::string::npos) continue;
    ++count;
    if (std::regex_search(line, backup_dir)) return count;
  }
  return 0;
}

// A backup directory made but not made private fails the command before
// HOME changes; it holds nothing, so it must not stay behind (an empty
// backup would count against the five that retention keeps).
TEST_F(StateSyncTest, BackupDirectoryThatCannotBeMadePrivateGoesAgain) {
  const auto prepare = [](Sandbox& box) {
    declare_work(box);
    if (box.run({"select", "work"}).status != 0) throw std::runtime_error("select failed");
    box.write_home(".cfg/own", "own\n");
    box.add_profile("play", {"zsh"}, {".cfg"});
    box.write_content("play", ".cfg/app", "play\n");
  };
  const int n = backup_dir_narrowing(prepare, {"select", "play"});
  ASSERT_GT(n, 0) << "no fchmod of a backup directory seen";
  Sandbox box;
  prepare(box);
  const std::string backups = box.state_dir() + "/backups";
  const auto before = std::distance(std::filesystem::directory_iterator(backups), {});
  const RunResult r = run_traced(
      box, {"-o", "/dev/null", "-e", "trace=fchmod", "-e", "inject=fchmod:error=EIO:when=" + std::to_string(n)},
      {"select", "play"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("error: I/O at " + backups + "/")) << r.err;
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(backups), {}), before);
  EXPECT_EQ(read_file(box.home() + "/.cfg/app"), "one\n");
  EXPECT_EQ(read_file(box.home() + "/.cfg/own"), "own\n");
}

// The same state made by hand, without a tracer.
TEST(SnapshotSwapRepair, SnapshotLeftAsideIsPutBackByTheNextSelect) {
  Sandbox box;
  declare_work(box);
  ASSERT_EQ(box.run({"select", "work"}).status, 0);
  const std::string snapshot = box.snapshot_dir("work");
  ASSERT_EQ(::rename(snapshot.c_str(), (snapshot + ".old").c_str()), 0);
  make_dirs(snapshot + ".swap/.cfg");
  write_file(snapshot + ".swap/.cfg/app", "half\n");

  const RunResult r = box.run({"select", "work"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(snapshot + "/.cfg/app"), "one\n");
  EXPECT_FALSE(path_exists(snapshot + ".old"));
  EXPECT_EQ(read_file(box.home() + "/.cfg/app"), "one\n");
}

}  // namespace
}  // namespace vorpel::testing
