#include "core/storage/state_lock.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "tests/support/deep_tree.hpp"
#include "tests/support/temp_dir.hpp"

namespace vorpel {
namespace {

using testing::TempDir;
using testing::file_mode;
using testing::make_dirs;
using testing::make_symlink;
using testing::open_descriptors;
using testing::path_exists;
using testing::read_file;
using testing::write_file;


// Whether some other open file holds the lock right now.
bool lock_is_taken(const std::string& lock_path) {
  const UniqueFd probe(::open(lock_path.c_str(), O_RDWR | O_CLOEXEC));
  EXPECT_TRUE(probe.valid());
  if (::flock(probe.get(), LOCK_EX | LOCK_NB) == 0) return false;
  EXPECT_EQ(errno, EWOULDBLOCK);
  return true;
}

TEST(StateLock, LockFileLiesBesideTheStateFile) {
  EXPECT_EQ(lock_file_path("/h/.local/state/vorpel/state.toml").value(), "/h/.local/state/vorpel/lock");
  EXPECT_EQ(lock_file_path("state.toml").value(), "lock");
  const auto none = lock_file_path("/");
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().text(), "state path has no parent");
}

TEST(StateLock, CreatesPrivateDirectoryAndLockFile) {
  TempDir tmp;
  const mode_t old_mask = ::umask(0);
  const std::string dir = tmp / "state/vorpel";
  {
    auto lock = open_state_lock(dir + "/lock");
    ASSERT_TRUE(lock) << lock.error().text();
    EXPECT_EQ(file_mode(dir) & 07777, 0700u);
    EXPECT_EQ(file_mode(dir + "/lock") & 07777, 0600u);
    EXPECT_TRUE(lock_is_taken(dir + "/lock"));
  }
  EXPECT_FALSE(lock_is_taken(dir + "/lock"));  // released with the handle
  ::umask(old_mask);
}

TEST(StateLock, ExistingDirectoryAndLockFileAreMadePrivateAndKept) {
  TempDir tmp;
  const std::string dir = tmp / "vorpel";
  write_file(dir + "/lock", "left by someone\n");
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  ASSERT_EQ(::chmod((dir + "/lock").c_str(), 0644), 0);
  auto lock = open_state_lock(dir + "/lock");
  ASSERT_TRUE(lock) << lock.error().text();
  EXPECT_EQ(file_mode(dir) & 07777, 0700u);
  EXPECT_EQ(file_mode(dir + "/lock") & 07777, 0600u);
  EXPECT_EQ(read_file(dir + "/lock"), "left by someone\n");  // neither truncated nor refused
}

TEST(StateLock, FailuresNameTheirPath) {
  TempDir tmp;
  make_dirs(tmp / "vorpel/lock");
  const auto on_dir = open_state_lock(tmp / "vorpel/lock");
  ASSERT_FALSE(on_dir);
  ASSERT_NE(on_dir.error().as_io(), nullptr);
  EXPECT_EQ(on_dir.error().as_io()->path, tmp / "vorpel/lock");

  write_file(tmp / "file", "");
  const auto under_file = open_state_lock(tmp / "file/lock");
  ASSERT_FALSE(under_file);
  ASSERT_NE(under_file.error().as_io(), nullptr);
  EXPECT_EQ(under_file.error().as_io()->path, tmp / "file");
  EXPECT_FALSE(path_exists(tmp / "file/lock"));
}

// "lock" is the tool's own name: a link there must not have the mode change
// or the creation land on a file elsewhere. The state directory itself may
// be a link.
TEST(StateLock, LinkAtTheLockIsNeverFollowed) {
  TempDir tmp;
  write_file(tmp / "outside", "someone's file\n");
  ASSERT_EQ(::chmod((tmp / "outside").c_str(), 0644), 0);
  make_dirs(tmp / "vorpel");
  make_symlink(tmp / "outside", tmp / "vorpel/lock");
  const auto to_file = open_state_lock(tmp / "vorpel/lock");
  ASSERT_FALSE(to_file);
  EXPECT_EQ(to_file.error().text(),
            "I/O at " + tmp / "vorpel/lock" + ": Too many levels of symbolic links (os error 40)");
  EXPECT_EQ(file_mode(tmp / "outside") & 07777, 0644u);
  EXPECT_EQ(read_file(tmp / "outside"), "someone's file\n");

  make_symlink(tmp / "made-by-lock", tmp / "vorpel/dangling");
  const auto dangling = open_state_lock(tmp / "vorpel/dangling");
  ASSERT_FALSE(dangling);
  EXPECT_EQ(dangling.error().text(),
            "I/O at " + tmp / "vorpel/dangling" + ": Too many levels of symbolic links (os error 40)");
  EXPECT_FALSE(path_exists(tmp / "made-by-lock"));

  make_dirs(tmp / "disk/vorpel");
  ASSERT_EQ(::chmod((tmp / "disk/vorpel").c_str(), 0755), 0);
  make_symlink(tmp / "disk/vorpel", tmp / "state");
  const auto through_link = open_state_lock(tmp / "state/lock");
  ASSERT_TRUE(through_link) << through_link.error().text();
  EXPECT_EQ(file_mode(tmp / "disk/vorpel") & 07777, 0700u);
  EXPECT_EQ(file_mode(tmp / "disk/vorpel/lock") & 07777, 0600u);
}

TEST(StateLock, FailedAttemptsLeaveNoDescriptorOpen) {
  TempDir tmp;
  make_dirs(tmp / "vorpel/lock");
  write_file(tmp / "file", "");
  const std::size_t before = open_descriptors();
  EXPECT_FALSE(open_state_lock(tmp / "vorpel/lock"));
  EXPECT_FALSE(open_state_lock(tmp / "file/lock"));
  EXPECT_TRUE(open_state_lock(tmp / "ok/lock"));  // released and closed at once
  EXPECT_EQ(open_descriptors(), before);
}

TEST(StateLock, SecondProcessWaitsUntilTheFirstReleases) {
  TempDir tmp;
  const std::string lock_path = tmp / "vorpel/lock";
  const std::string marker = tmp / "released";
  std::optional<Result<StateLock>> held(open_state_lock(lock_path));
  ASSERT_TRUE(*held);

  int ready[2];
  ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close((*held)->fd());  // a forked copy would keep the parent's lock alive
    (void)!::write(ready[1], "w", 1);
    auto lock = open_state_lock(lock_path);
    // Getting the lock before the parent wrote the marker means it did not wait.
    ::_exit(lock && path_exists(marker) ? 0 : 1);
  }
  ::close(ready[1]);
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ::close(ready[0]);
  write_file(marker, "");
  held.reset();

  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(StateLock, ProgramStartedUnderTheLockDoesNotHoldIt) {
  TempDir tmp;
  const std::string lock_path = tmp / "vorpel/lock";
  std::optional<Result<StateLock>> held(open_state_lock(lock_path));
  ASSERT_TRUE(*held);

  int input[2];
  int exec_done[2];  // closed by the exec itself
  ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(exec_done, O_CLOEXEC), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(input[0], 0);
    ::execl("/bin/sh", "sh", "-c", "read line", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(input[0]);
  ::close(exec_done[1]);
  char c = 0;
  ASSERT_EQ(::read(exec_done[0], &c, 1), 0);
  ::close(exec_done[0]);
  held.reset();
  // The program still runs (it waits for a line); had it inherited the
  // descriptor, the lock would still be held through it.
  EXPECT_FALSE(lock_is_taken(lock_path));
  (void)!::write(input[1], "\n", 1);
  ::close(input[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace vorpel
