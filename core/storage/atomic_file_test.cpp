#include "core/storage/atomic_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "tests/support/deep_tree.hpp"
#include "tests/support/temp_dir.hpp"

namespace vorpel {
namespace {

using testing::TempDir;
using testing::file_mode;
using testing::names_in;
using testing::open_descriptors;
using testing::make_dirs;
using testing::path_exists;
using testing::read_file;
using testing::write_file;


// Sets the file-creation mask for one test.
class Umask {
 public:
  explicit Umask(mode_t mask) : old_(::umask(mask)) {}
  ~Umask() { ::umask(old_); }

 private:
  mode_t old_;
};

std::string io_path(const Status& s) {
  if (s || s.error().as_io() == nullptr) return "<not an Io error>";
  return s.error().as_io()->path;
}

TEST(AtomicFile, CreatesMissingDirectoriesPrivateAndFile0600UnderStrictMask) {
  TempDir tmp;
  const Umask mask(077);
  const std::string dir = tmp / "a/b/vorpel";
  ASSERT_TRUE(write_file_atomically(dir + "/state.toml", "schema = 5\n"));
  EXPECT_EQ(read_file(dir + "/state.toml"), "schema = 5\n");
  EXPECT_EQ(file_mode(dir + "/state.toml") & 07777, 0600u);
  EXPECT_TRUE(S_ISREG(file_mode(dir + "/state.toml")));
  EXPECT_EQ(file_mode(dir) & 07777, 0700u);
  EXPECT_EQ(names_in(dir), std::vector<std::string>{"state.toml"});  // no temporary file stays
}

TEST(AtomicFile, ReplacesOldContentAndNarrowsDirectory) {
  TempDir tmp;
  const Umask mask(022);
  const std::string dir = tmp / "st";
  write_file(dir + "/state.toml", "old content that is longer than the new one\n");
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  ASSERT_EQ(::chmod((dir + "/state.toml").c_str(), 0644), 0);
  ASSERT_TRUE(write_file_atomically(dir + "/state.toml", "new\n"));
  EXPECT_EQ(read_file(dir + "/state.toml"), "new\n");
  EXPECT_EQ(file_mode(dir) & 07777, 0700u);
  EXPECT_EQ(file_mode(dir + "/state.toml") & 07777, 0600u);  // the old mode is not kept
}

TEST(AtomicFile, SymbolicLinkTargetIsReplacedNotFollowed) {
  TempDir tmp;
  write_file(tmp / "elsewhere", "keep\n");
  const struct { const char* destination; } cases[] = {{"elsewhere"}, {"missing"}};
  for (const auto& c : cases) {
    const std::string target = tmp / "state.toml";
    std::filesystem::remove(target);
    ASSERT_EQ(::symlink(c.destination, target.c_str()), 0);
    ASSERT_TRUE(write_file_atomically(target, "x\n")) << c.destination;
    EXPECT_TRUE(S_ISREG(file_mode(target))) << c.destination;
    EXPECT_EQ(read_file(target), "x\n");
    EXPECT_EQ(read_file(tmp / "elsewhere"), "keep\n");
    EXPECT_FALSE(path_exists(tmp / "missing"));
  }
}

TEST(AtomicFile, TakenNamesMoveOnToTheNextAttempt) {
  TempDir tmp;
  const detail::TempNameSeed seed{4242, 1'700'000'000'123'456'789u};
  const std::string target = tmp / "state.toml";
  // A regular file and a dangling link both take a name.
  write_file(tmp / detail::temp_file_name("state.toml", seed, 0), "leftover\n");
  ASSERT_EQ(::symlink("nowhere", (tmp / detail::temp_file_name("state.toml", seed, 1)).c_str()), 0);
  ASSERT_TRUE(detail::write_file_atomically(target, "new\n", seed));
  EXPECT_EQ(read_file(target), "new\n");
  EXPECT_EQ(read_file(tmp / detail::temp_file_name("state.toml", seed, 0)), "leftover\n");
  EXPECT_FALSE(path_exists(tmp / "nowhere"));
  EXPECT_EQ(names_in(tmp.path()).size(), 3u);  // attempt 2 was renamed away
}

TEST(AtomicFile, AllThirtyTwoNamesTakenFails) {
  TempDir tmp;
  const detail::TempNameSeed seed{7, 99};
  const std::string target = tmp / "state.toml";
  write_file(target, "old\n");
  for (unsigned attempt = 0; attempt < 32; ++attempt) write_file(tmp / detail::temp_file_name("state.toml", seed, attempt), "");
  const auto s = detail::write_file_atomically(target, "new\n", seed);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().text(), "cannot create unique temporary file for " + target);
  EXPECT_EQ(read_file(target), "old\n");
}

TEST(AtomicFile, RenameOntoDirectoryNamesTargetAndLeavesTemporaryFile) {
  TempDir tmp;
  const detail::TempNameSeed seed{11, 22};
  const std::string target = tmp / "state.toml";
  make_dirs(target);
  const auto s = detail::write_file_atomically(target, "new\n", seed);
  ASSERT_FALSE(s);
  EXPECT_EQ(io_path(s), target);
  const std::string temp = tmp / detail::temp_file_name("state.toml", seed, 0);
  EXPECT_EQ(read_file(temp), "new\n");
  EXPECT_TRUE(std::filesystem::is_directory(target));
}

// Whether a failure came after the rename decides whether the caller's new
// state stands: the contents read back tell it too.
TEST(AtomicFile, FailureTellsWhetherTheNewContentsTookTheTargetsPlace) {
  TempDir tmp;
  const detail::TempNameSeed seed{11, 22};
  const auto fixed_seed = detail::SeedSource([seed] { return Result<detail::TempNameSeed>(seed); });
  const auto failing_sync = detail::DirectorySync([](int) {
    errno = EIO;
    return -1;
  });
  const std::string target = tmp / "state.toml";
  write_file(target, "old\n");
  const auto unsynced = detail::replace_file_atomically(target, "new\n", fixed_seed, failing_sync);
  ASSERT_FALSE(unsynced);
  EXPECT_TRUE(unsynced.error().renamed);
  EXPECT_EQ(unsynced.error().error.text(), "I/O at " + tmp.path() + ": Input/output error (os error 5)");
  EXPECT_EQ(read_file(target), "new\n");

  const std::string blocked = tmp / "dir";
  make_dirs(blocked);
  const auto refused = detail::replace_file_atomically(blocked, "new\n", fixed_seed, failing_sync);
  ASSERT_FALSE(refused);
  EXPECT_FALSE(refused.error().renamed);
  EXPECT_TRUE(std::filesystem::is_directory(blocked));
}

TEST(AtomicFile, FailuresBeforeTheTemporaryFile) {
  TempDir tmp;
  write_file(tmp / "plain", "not a directory\n");
  const auto blocked = write_file_atomically(tmp / "plain/state.toml", "x");
  ASSERT_FALSE(blocked);
  EXPECT_EQ(io_path(blocked), tmp / "plain");
  EXPECT_EQ(read_file(tmp / "plain"), "not a directory\n");

  for (const std::string& target : {std::string(), std::string("/")}) {
    const auto s = write_file_atomically(target, "x");
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().text(), "path has no parent");
  }

  // cut at the NUL byte, the directory to create would be "a"
  const std::string nul = tmp / std::string("a\0b/state.toml", 13);
  const auto unusable = write_file_atomically(nul, "x");
  ASSERT_FALSE(unusable);
  EXPECT_EQ(unusable.error().text(), "I/O at " + nul + ": file name contained an unexpected NUL byte");
  EXPECT_FALSE(path_exists(tmp / "a"));
}

TEST(AtomicFile, ClockIsReadOnceTheDirectoryIsPrivate) {
  TempDir tmp;
  const std::string dir = tmp / "vorpel";
  const auto s = detail::write_file_atomically(dir + "/state.toml", "x", detail::SeedSource([&] {
    EXPECT_EQ(file_mode(dir) & 07777, 0700u);
    return Result<detail::TempNameSeed>(std::unexpected(CoreError::message("second time provided was later than self")));
  }));
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().text(), "second time provided was later than self");
  EXPECT_TRUE(names_in(dir).empty());
}

TEST(AtomicFile, EveryDescriptorIsClosedOnEveryRoad) {
  TempDir tmp;
  const detail::TempNameSeed seed{5, 6};
  write_file(tmp / "plain", "");
  make_dirs(tmp / "dir/state.toml");
  for (unsigned attempt = 0; attempt < 32; ++attempt) {
    write_file(tmp / ("full/" + detail::temp_file_name("state.toml", seed, attempt)), "");
  }
  const std::size_t before = open_descriptors();
  EXPECT_TRUE(detail::write_file_atomically(tmp / "ok/state.toml", "x", seed));    // success
  EXPECT_FALSE(detail::write_file_atomically(tmp / "plain/state.toml", "x", seed));  // directory
  EXPECT_FALSE(detail::write_file_atomically(tmp / "full/state.toml", "x", seed));   // no free name
  EXPECT_FALSE(detail::write_file_atomically(tmp / "dir/state.toml", "x", seed));    // rename
  EXPECT_EQ(open_descriptors(), before);
}

TEST(AtomicFile, TemporaryNameTemplate) {
  const unsigned __int128 big = (static_cast<unsigned __int128>(1) << 64) * 1000u + 5u;
  EXPECT_EQ(detail::temp_file_name("state.toml", {123, 1'700'000'000'000'000'007u}, 31),
            ".state.toml.123-1700000000000000007-31.tmp");
  EXPECT_EQ(detail::temp_file_name("s", {1, big}, 0), ".s.1-18446744073709551616005-0.tmp");
  EXPECT_EQ(detail::decimal(0), "0");
  EXPECT_EQ(detail::decimal(~static_cast<unsigned __int128>(0)), "340282366920938463463374607431768211455");
}

}  // namespace
}  // namespace vorpel
