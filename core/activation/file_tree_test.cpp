#include "core/activation/file_tree.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/activation/file_tree_detail.hpp"
#include "core/storage/path_text.hpp"
#include "tests/support/deep_tree.hpp"
#include "tests/support/root_setup.hpp"
#include "tests/support/temp_dir.hpp"

namespace vorpel {
namespace {

using testing::file_mode;
using testing::deep_relative_path;
using testing::make_deep_dirs;
using testing::on_small_stack;
using testing::raise_descriptor_limit;
using testing::make_dirs;
using testing::make_symlink;
using testing::path_exists;
using testing::read_file;
using testing::read_link;
using testing::TempDir;
using testing::write_file;

mode_t bits_of(const std::string& path) { return file_mode(path) & 07777; }


void set_bits(const std::string& path, mode_t bits) { ASSERT_EQ(::chmod(path.c_str(), bits), 0) << path; }

template <class T>
std::string message_of(const Result<T>& result) {
  return result ? std::string("success") : result.error().text();
}

std::string io_text(const std::string& path, const char* os_text) {
  return "I/O at " + display_path(path) + ": " + os_text;
}

bool running_as_root() { return ::geteuid() == 0; }

// --- remove_path ---

TEST(RemovePath, NothingThereIsSuccess) {
  TempDir t;
  EXPECT_TRUE(remove_path(t / "missing"));
  EXPECT_TRUE(remove_path(t / "missing/below"));
}

TEST(RemovePath, LinksGoButNeverWhatTheyPointTo) {
  TempDir t;
  write_file(t / "outside/keep", "k");
  make_dirs(t / "home");
  make_symlink(t / "outside", t / "home/dir-link");
  make_symlink("nowhere", t / "home/dangling");
  // a tree holding a link to a directory outside it
  write_file(t / "home/tree/sub/f", "x");
  make_symlink(t / "outside", t / "home/tree/sub/out");
  set_bits(t / "home/tree/sub/f", 0400);

  // a trailing separator would make the system resolve the link: still only the link goes
  EXPECT_TRUE(remove_path(t / "home/dir-link/"));
  EXPECT_TRUE(remove_path(t / "home/dangling"));
  EXPECT_TRUE(remove_path(t / "home/tree"));

  EXPECT_FALSE(path_exists(t / "home/dir-link"));
  EXPECT_FALSE(path_exists(t / "home/dangling"));
  EXPECT_FALSE(path_exists(t / "home/tree"));
  EXPECT_EQ(read_file(t / "outside/keep"), "k");
}

TEST(RemovePath, OnlyAbsenceCountsAsSuccess) {
  TempDir t;
  write_file(t / "file", "x");
  EXPECT_EQ(message_of(remove_path(t / "file/below")),
            io_text(t / "file/below", "Not a directory (os error 20)"));
}

TEST(RemovePath, FailureInsideTheTreeNamesThePathGiven) {
  if (running_as_root()) GTEST_SKIP() << "permission checks do not apply to root (euid 0)";
  TempDir t;
  write_file(t / "tree/locked/f", "x");
  set_bits(t / "tree/locked", 0500);
  EXPECT_EQ(message_of(remove_path(t / "tree")), io_text(t / "tree", "Permission denied (os error 13)"));
  EXPECT_TRUE(path_exists(t / "tree/locked/f"));
}

// --- collect_content_files ---

TEST(CollectContentFiles, PreOrderWithNamesInByteOrder) {
  TempDir t;
  for (const char* f : {"b", "a-b", "a/x", "a/.hidden", ".z/y", "c/d/e"}) write_file(t / (std::string("seed/") + f), f);
  make_dirs(t / "seed/empty");
  std::vector<std::string> files{"kept"};  // appended to, never cleared
  ASSERT_TRUE(collect_content_files(t / "seed", t / "seed", files));
  EXPECT_EQ(files, (std::vector<std::string>{"kept", ".z/y", "a/.hidden", "a/x", "a-b", "b", "c/d/e"}));
}

TEST(CollectContentFiles, DirectoryBelowRootAndOutsideIt) {
  TempDir t;
  write_file(t / "seed/a/b/x", "x");
  write_file(t / "elsewhere/y", "y");
  make_dirs(t / "elsewhere/only-dirs/deeper");

  std::vector<std::string> files;
  ASSERT_TRUE(collect_content_files(t / "seed/", t / "seed/a", files));
  EXPECT_EQ(files, std::vector<std::string>{"a/b/x"});

  // a link naming the directory itself is followed
  make_symlink(t / "seed", t / "seed-link");
  files.clear();
  ASSERT_TRUE(collect_content_files(t / "seed-link", t / "seed-link", files));
  EXPECT_EQ(files, std::vector<std::string>{"a/b/x"});

  files.clear();
  EXPECT_EQ(message_of(collect_content_files(t / "seed", t / "elsewhere", files)), "profile content escaped its root");
  // without a regular file nothing escapes
  EXPECT_TRUE(collect_content_files(t / "seed", t / "elsewhere/only-dirs", files));
}

TEST(CollectContentFiles, RefusesLinksAndSpecialFilesByFullPath) {
  TempDir t;
  write_file(t / "seed/a/file", "x");
  make_symlink("file", t / "seed/a/link");  // even a link to a file inside the tree
  std::vector<std::string> files;
  EXPECT_EQ(message_of(collect_content_files(t / "seed", t / "seed", files)),
            "unsupported profile content " + t / "seed/a/link");

  TempDir u;
  make_dirs(u / "seed");
  ASSERT_EQ(::mkfifo((u / "seed/pipe").c_str(), 0600), 0);
  EXPECT_EQ(message_of(collect_content_files(u / "seed", u / "seed", files)),
            "unsupported profile content " + u / "seed/pipe");

  EXPECT_EQ(message_of(collect_content_files(u / "nope", u / "nope", files)),
            io_text(u / "nope", "No such file or directory (os error 2)"));
}

TEST(CollectContentFiles, UnreadableDirectoryIsAnErrorForIt) {
  if (running_as_root()) GTEST_SKIP() << "permission checks do not apply to root (euid 0)";
  TempDir t;
  write_file(t / "seed/closed/x", "x");
  set_bits(t / "seed/closed", 0000);
  std::vector<std::string> files;
  EXPECT_EQ(message_of(collect_content_files(t / "seed", t / "seed", files)),
            io_text(t / "seed/closed", "Permission denied (os error 13)"));
}

// --- the copies ---

TEST(CopyBackupTree, FilesDirectoriesAndLinksWithTheirBits) {
  TempDir t;
  write_file(t / "src/plain", "plain");
  write_file(t / "src/bin/tool", "#!/bin/sh\n");
  write_file(t / "src/secret", "s");
  set_bits(t / "src/bin/tool", 0751);
  set_bits(t / "src/secret", 0600);
  set_bits(t / "src/bin", 0710);
  make_symlink("../plain", t / "src/bin/rel");
  make_symlink("/nonexistent/target", t / "src/dangling");
  make_dirs(t / "src/empty");
  set_bits(t / "src/empty", 0705);

  ASSERT_TRUE(copy_backup_tree(t / "src", t / "backup/home/deep/dst"));
  EXPECT_EQ(read_file(t / "backup/home/deep/dst/plain"), "plain");
  EXPECT_EQ(read_file(t / "backup/home/deep/dst/bin/tool"), "#!/bin/sh\n");
  EXPECT_EQ(bits_of(t / "backup/home/deep/dst/bin/tool"), 0751u);
  EXPECT_EQ(bits_of(t / "backup/home/deep/dst/secret"), 0600u);
  EXPECT_EQ(bits_of(t / "backup/home/deep/dst/bin"), 0710u);
  EXPECT_EQ(bits_of(t / "backup/home/deep/dst/empty"), 0705u);
  EXPECT_EQ(bits_of(t / "backup/home/deep/dst"), bits_of(t / "src"));
  EXPECT_TRUE(S_ISLNK(file_mode(t / "backup/home/deep/dst/bin/rel")));
  EXPECT_EQ(read_link(t / "backup/home/deep/dst/bin/rel"), "../plain");
  EXPECT_EQ(read_link(t / "backup/home/deep/dst/dangling"), "/nonexistent/target");
}

TEST(CopyBackupTree, SingleLinkAndItsRefusals) {
  TempDir t;
  make_symlink("relative/leads/nowhere", t / "link");
  ASSERT_TRUE(copy_backup_tree(t / "link", t / "b/home/.config/link"));
  EXPECT_EQ(read_link(t / "b/home/.config/link"), "relative/leads/nowhere");
  // anything at the target, the same link included, is refused
  EXPECT_EQ(message_of(copy_backup_tree(t / "link", t / "b/home/.config/link")),
            io_text(t / "b/home/.config/link", "File exists (os error 17)"));

  ASSERT_EQ(::mkfifo((t / "pipe").c_str(), 0600), 0);
  EXPECT_EQ(message_of(copy_backup_tree(t / "pipe", t / "out")), "unsupported backup target " + t / "pipe");
  EXPECT_FALSE(path_exists(t / "out"));
  EXPECT_EQ(message_of(copy_backup_tree(t / "missing", t / "out")),
            io_text(t / "missing", "No such file or directory (os error 2)"));
}

TEST(CopyBackupTree, ReadOnlyDirectoryIsCopiedWholeThenNarrowed) {
  TempDir t;
  write_file(t / "src/ro/a", "a");
  write_file(t / "src/ro/sub/b", "b");
  set_bits(t / "src/ro/sub", 0555);
  set_bits(t / "src/ro", 0500);
  ASSERT_TRUE(copy_backup_tree(t / "src/ro", t / "dst"));
  EXPECT_EQ(bits_of(t / "dst"), 0500u);
  EXPECT_EQ(bits_of(t / "dst/sub"), 0555u);
  EXPECT_EQ(read_file(t / "dst/sub/b"), "b");
}

TEST(CopyProfileContent, ReadOnlyDirectoryIsNarrowedBeforeItsEntries) {
  if (running_as_root()) GTEST_SKIP() << "permission checks do not apply to root (euid 0)";
  TempDir t;
  write_file(t / "src/ro/a", "a");
  make_dirs(t / "src/empty-ro");
  set_bits(t / "src/ro", 0500);
  set_bits(t / "src/empty-ro", 0500);
  EXPECT_EQ(message_of(copy_profile_content(t / "src/ro", t / "dst")),
            io_text(t / "dst/a", "Permission denied (os error 13)"));
  EXPECT_EQ(bits_of(t / "dst"), 0500u);
  EXPECT_TRUE(copy_profile_content(t / "src/empty-ro", t / "dst2"));
  EXPECT_EQ(bits_of(t / "dst2"), 0500u);
}

TEST(CopyProfileContent, RefusesLinksAndSpecialFiles) {
  TempDir t;
  write_file(t / "src/file", "x");
  make_symlink("file", t / "src/link");
  EXPECT_EQ(message_of(copy_profile_content(t / "src/link", t / "out/link")),
            "profile content may not contain symbolic link " + t / "src/link");
  EXPECT_FALSE(path_exists(t / "out"));  // not even the parent
  EXPECT_EQ(message_of(copy_profile_content(t / "src", t / "tree")),
            "profile content may not contain symbolic link " + t / "src/link");
  EXPECT_EQ(read_file(t / "tree/file"), "x");  // entries before it stay
  EXPECT_FALSE(path_exists(t / "tree/link"));

  ASSERT_EQ(::mkfifo((t / "pipe").c_str(), 0600), 0);
  EXPECT_EQ(message_of(copy_profile_content(t / "pipe", t / "p")), "unsupported profile content " + t / "pipe");
}

// A failure stops the copy at the first entry in byte order that fails:
// "a" (and all below it) comes before "a-b", although "a-b" < "a/..." as text.
TEST(CopyProfileContent, EntriesInByteOrderDepthFirst) {
  TempDir t;
  write_file(t / "src/a/x", "x");
  make_symlink("x", t / "src/a/y");
  make_symlink("a", t / "src/a-b");
  write_file(t / "src/0", "0");
  EXPECT_EQ(message_of(copy_profile_content(t / "src", t / "dst")),
            "profile content may not contain symbolic link " + t / "src/a/y");
  EXPECT_TRUE(path_exists(t / "dst/0"));
  EXPECT_TRUE(path_exists(t / "dst/a/x"));
  EXPECT_FALSE(path_exists(t / "dst/a-b"));
}

TEST(CopyProfileContent, MergesIntoAnExistingDirectory) {
  TempDir t;
  write_file(t / "src/both", "new");
  write_file(t / "src/sub/new", "n");
  write_file(t / "src/only-src", "s");
  set_bits(t / "src/sub", 0750);
  set_bits(t / "src", 0751);
  write_file(t / "dst/both", "old and longer");
  write_file(t / "dst/sub/old", "o");
  write_file(t / "dst/only-dst", "d");
  for (auto copy : {copy_profile_content, copy_backup_tree}) {
    ASSERT_TRUE(copy(t / "src", t / "dst"));
    EXPECT_EQ(read_file(t / "dst/both"), "new");
    EXPECT_EQ(read_file(t / "dst/sub/new"), "n");
    EXPECT_EQ(read_file(t / "dst/sub/old"), "o");
    EXPECT_EQ(read_file(t / "dst/only-dst"), "d");
    EXPECT_EQ(read_file(t / "dst/only-src"), "s");
    EXPECT_EQ(bits_of(t / "dst/sub"), 0750u);
    EXPECT_EQ(bits_of(t / "dst"), 0751u);
  }
}

// Targets are never written through a symbolic link, neither at the top nor
// inside a merge, so nothing outside the target tree changes.
TEST(CopyProfileContent, NeverWritesThroughLinksAtTheTarget) {
  TempDir t;
  write_file(t / "outside/file", "outside");
  make_dirs(t / "outside/dir");
  write_file(t / "src/file", "new");
  write_file(t / "src/dir/inner", "i");
  const char* loop = "Too many levels of symbolic links (os error 40)";

  make_dirs(t / "d1");
  make_symlink(t / "outside/file", t / "d1/file");
  EXPECT_EQ(message_of(copy_profile_content(t / "src/file", t / "d1/file")), io_text(t / "d1/file", loop));
  EXPECT_EQ(message_of(copy_backup_tree(t / "src", t / "d1")), io_text(t / "d1/file", loop));

  make_dirs(t / "d2");
  make_symlink(t / "outside/dir", t / "d2/dir");
  for (auto copy : {copy_profile_content, copy_backup_tree}) {
    EXPECT_EQ(message_of(copy(t / "src", t / "d2")), io_text(t / "d2/dir", "File exists (os error 17)"));
  }

  make_symlink(t / "outside/dir", t / "d3");
  EXPECT_EQ(message_of(copy_profile_content(t / "src/dir", t / "d3")),
            io_text(t / "d3", "Not a directory (os error 20)"));

  EXPECT_EQ(read_file(t / "outside/file"), "outside");
  EXPECT_FALSE(path_exists(t / "outside/dir/inner"));
}

TEST(CopyFiles, BitsBytesParentsAndWhatIsAtTheTarget) {
  TempDir t;
  std::string big(3 * 1024 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 3);
  write_file(t / "big", big);
  write_file(t / "private", "p");
  write_file(t / "exec", "e");
  write_file(t / "empty", "");
  set_bits(t / "private", 0600);
  set_bits(t / "exec", 04755);
  for (auto copy : {copy_profile_content, copy_backup_tree}) {
    TempDir d;
    ASSERT_TRUE(copy(t / "big", d / "a/b/big"));  // parents created
    EXPECT_EQ(read_file(d / "a/b/big"), big);
    ASSERT_TRUE(copy(t / "private", d / "private"));
    EXPECT_EQ(bits_of(d / "private"), 0600u);
    ASSERT_TRUE(copy(t / "exec", d / "exec"));
    EXPECT_EQ(bits_of(d / "exec"), 04755u);
    ASSERT_TRUE(copy(t / "empty", d / "empty"));
    EXPECT_EQ(read_file(d / "empty"), "");
    // an existing file is truncated and overwritten; a directory is refused
    write_file(d / "longer", std::string(100, 'x'));
    ASSERT_TRUE(copy(t / "private", d / "longer"));
    EXPECT_EQ(read_file(d / "longer"), "p");
    make_dirs(d / "dir");
    EXPECT_EQ(message_of(copy(t / "private", d / "dir")), io_text(d / "dir", "Is a directory (os error 21)"));
  }
}

// A file whose size the system reports as 0 but that does have bytes.
TEST(CopyFiles, FallsBackToReadingWhenTheKernelCopiesNothing) {
  TempDir t;
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  const std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(expected.empty());
  ASSERT_TRUE(copy_backup_tree("/proc/self/cmdline", t / "cmdline"));
  EXPECT_EQ(read_file(t / "cmdline"), expected);
}

// Another program swaps a pipe and the file back and forth while the copies
// run: whichever a copy opens, it never turns the pipe into an empty file.
TEST(CopyFiles, APipeSwappedInAfterItsKindWasReadIsRefused) {
  TempDir t;
  write_file(t / "src", "content\n");
  ASSERT_EQ(::mkfifo((t / "other").c_str(), 0600), 0);
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop) ::renameat2(AT_FDCWD, (t / "src").c_str(), AT_FDCWD, (t / "other").c_str(), RENAME_EXCHANGE);
  });
  const std::string refused = "unsupported profile content " + t / "src";
  // The swaps race the copies, so it runs until both outcomes were seen (or
  // long enough that a loaded machine has had its chance at both): a copy
  // of the file, whole, and a refusal of the pipe, never an empty file.
  int copied = 0;
  int refusals = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int i = 0; (copied == 0 || refusals == 0) && std::chrono::steady_clock::now() < deadline; ++i) {
    const std::string target = t / ("out" + std::to_string(i % 8));
    const auto done = copy_profile_content(t / "src", target);
    if (!done) {
      ASSERT_EQ(done.error().text(), refused);
      ++refusals;
      continue;
    }
    ++copied;
    ASSERT_EQ(read_file(target), "content\n") << "copy " << i;
  }
  stop = true;
  swapper.join();
  EXPECT_GT(copied, 0);
  EXPECT_GT(refusals, 0);
}

TEST(CopyFiles, UnreadableSourceIsAnErrorForTheTarget) {
  if (running_as_root()) GTEST_SKIP() << "permission checks do not apply to root (euid 0)";
  TempDir t;
  write_file(t / "closed", "x");
  set_bits(t / "closed", 0000);
  EXPECT_EQ(message_of(copy_profile_content(t / "closed", t / "out")),
            io_text(t / "out", "Permission denied (os error 13)"));
}

TEST(EnsureParentDir, CreatesOnlyWhatIsMissing) {
  TempDir t;
  EXPECT_EQ(message_of(ensure_parent_dir("/")), "path has no parent");
  EXPECT_EQ(message_of(ensure_parent_dir("")), "path has no parent");
  EXPECT_TRUE(ensure_parent_dir("single-component"));
  EXPECT_FALSE(path_exists("single-component"));
  ASSERT_TRUE(ensure_parent_dir(t / "a/b/c"));
  EXPECT_TRUE(S_ISDIR(file_mode(t / "a/b")));
  EXPECT_FALSE(path_exists(t / "a/b/c"));
  write_file(t / "file", "x");
  EXPECT_EQ(message_of(ensure_parent_dir(t / "file/x/y")), io_text(t / "file/x", "Not a directory (os error 20)"));
}

// The check before a path leaves HOME for a backup.
TEST(CheckBackupTree, RefusesWhatTheCopyRefusesAndTouchesNothing) {
  TempDir t;
  write_file(t / "src/a/x", "x");
  make_symlink("x", t / "src/a/link");
  make_dirs(t / "src/b/deep");
  ASSERT_EQ(::mkfifo((t / "src/b/deep/pipe").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((t / "src/c-pipe").c_str(), 0600), 0);
  make_dirs(t / "src/empty");
  set_bits(t / "src/empty", 0500);
  const std::string refusal = "unsupported backup target " + t / "src/b/deep/pipe";
  EXPECT_EQ(message_of(detail::check_backup_tree(t / "src", std::nullopt)), refusal);
  EXPECT_EQ(message_of(copy_backup_tree(t / "src", t / "copy")), refusal);
  EXPECT_EQ(message_of(detail::check_backup_tree(t / "src/c-pipe", std::nullopt)),
            "unsupported backup target " + t / "src/c-pipe");
  // An empty read-only directory is copied and removed like any other.
  for (const char* fine : {"src/a", "src/a/x", "src/a/link", "src/empty"}) {
    EXPECT_TRUE(detail::check_backup_tree(t / fine, std::nullopt)) << fine;
  }
  EXPECT_EQ(bits_of(t / "src/empty"), 0500u);
  EXPECT_EQ(testing::names_in(t / "src"), (std::vector<std::string>{"a", "b", "c-pipe", "empty"}));
  struct stat st {};
  ASSERT_EQ(::stat((t / "src/b").c_str(), &st), 0);
  EXPECT_EQ(message_of(detail::check_backup_tree(t / "src", detail::DirIdentity{st.st_dev, st.st_ino})),
            io_text(t / "src/b", "the state directory cannot be copied into its own backup"));
}

// A moved file with another link would change in the backup with every
// write through that link: the check reports it, so that it is copied.
TEST(CheckBackupTree, ReportsFilesWithMoreLinks) {
  TempDir t;
  write_file(t / "tree/sub/shared", "s");
  write_file(t / "tree/own", "o");
  ASSERT_EQ(::link((t / "tree/sub/shared").c_str(), (t / "elsewhere").c_str()), 0);
  make_symlink("own", t / "tree/link");
  for (const auto& [path, multi] : std::vector<std::pair<std::string, bool>>{
           {"tree", true}, {"tree/sub", true}, {"tree/sub/shared", true}, {"tree/own", false}, {"tree/link", false}}) {
    const auto facts = detail::check_backup_tree(t / path, std::nullopt);
    ASSERT_TRUE(facts) << facts.error().text();
    EXPECT_EQ(facts->multi_link, multi) << path;
  }
}

// The same refusals whether the tree would be renamed (which needs only
// its parent) or copied and removed (which needs all of it).
TEST(CheckBackupTree, RefusesWhatTheUserCouldNotReadOrRemove) {
  if (running_as_root()) GTEST_SKIP() << "permission checks do not apply to root (euid 0)";
  const std::string not_readable = "no read permission, so the backup could not copy it";
  const std::string not_removable = "no write and search permission, so what it holds could not be removed";
  struct Case {
    mode_t dir_bits;
    mode_t file_bits;
    const char* refused;  // relative to the tree; nullptr: accepted
    const std::string* reason;
  };
  const Case cases[] = {
      {0700, 0600, nullptr, nullptr},   {0500, 0600, "tree/d", &not_removable},
      {0300, 0600, "tree/d", &not_readable}, {0600, 0600, "tree/d", &not_readable},
      {0700, 0200, "tree/d/f", &not_readable},
  };
  for (const auto& c : cases) {
    TempDir t;
    write_file(t / "tree/d/f", "f");
    set_bits(t / "tree/d/f", c.file_bits);
    set_bits(t / "tree/d", c.dir_bits);
    const auto checked = detail::check_backup_tree(t / "tree", std::nullopt);
    if (c.refused == nullptr) {
      EXPECT_TRUE(checked) << checked.error().text();
    } else {
      EXPECT_EQ(message_of(checked), io_text(t / c.refused, c.reason->c_str())) << std::oct << c.dir_bits;
    }
    set_bits(t / "tree/d", 0700);
  }
  // The tree's own directory has to let it go.
  TempDir t;
  write_file(t / "parent/tree/f", "f");
  set_bits(t / "parent", 0500);
  EXPECT_EQ(message_of(detail::check_backup_tree(t / "parent/tree", std::nullopt)),
            io_text(t / "parent", not_removable.c_str()));
  set_bits(t / "parent", 0700);
}

// Sets an inode flag (chattr) for the test's duration.
class InodeFlag {
 public:
  InodeFlag(const std::string& path, int flag) : path_(path), flag_(flag) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    set_ = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags |= flag, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    if (fd >= 0) ::close(fd);
  }
  ~InodeFlag() {
    if (!set_) return;
    const int fd = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    if (fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
      flags &= ~flag_;
      ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    if (fd >= 0) ::close(fd);
  }
  bool set() const { return set_; }

 private:
  std::string path_;
  int flag_;
  bool set_ = false;
};

TEST(CheckBackupTree, RefusesImmutableAndAppendOnlyEntries) {
  if (!running_as_root()) GTEST_SKIP() << "needs root (euid 0) to make a file immutable";
  for (const int flag : {FS_IMMUTABLE_FL, FS_APPEND_FL}) {
    TempDir t;
    write_file(t / "tree/d/f", "f");
    InodeFlag fixed(t / "tree/d/f", flag);
    if (!fixed.set()) GTEST_SKIP() << "the file system of TMPDIR keeps no immutable flag";
    EXPECT_EQ(message_of(detail::check_backup_tree(t / "tree", std::nullopt)),
              io_text(t / "tree/d/f", "immutable or append-only, so it could not be removed"));
  }
}

TEST(CheckBackupTree, RefusesMountPointsAtOrBelowIt) {
  if (!running_as_root()) GTEST_SKIP() << "needs root (euid 0) to mount";
  TempDir t;
  write_file(t / "outside/keep", "k");
  make_dirs(t / "tree/sub/m");
  const auto mounted = testing::ScopedMount::bind(t / "outside", t / "tree/sub/m");
  ASSERT_TRUE(mounted);
  for (const char* top : {"tree", "tree/sub", "tree/sub/m"}) {
    EXPECT_EQ(message_of(detail::check_backup_tree(t / top, std::nullopt)),
              io_text(t / "tree/sub/m", "another file system is mounted here"))
        << top;
  }
}

// Removal walks delete only what lies on the file system and mount where
// they start: a mount inside is refused, its files left alone.
TEST(RemovePath, NeverEntersAnotherMount) {
  if (!running_as_root()) GTEST_SKIP() << "needs root (euid 0) to mount";
  TempDir t;
  write_file(t / "outside/keep", "k");
  write_file(t / "tree/a", "a");
  make_dirs(t / "tree/sub/m");
  const auto mounted = testing::ScopedMount::bind(t / "outside", t / "tree/sub/m");
  ASSERT_TRUE(mounted);
  EXPECT_EQ(message_of(remove_path(t / "tree")),
            io_text(t / "tree", "another file system is mounted at sub/m"));
  EXPECT_EQ(message_of(detail::remove_backup(t / "tree/sub")),
            io_text(t / "tree/sub", "another file system is mounted at m"));
  EXPECT_EQ(message_of(remove_path(t / "tree/sub/m")),
            io_text(t / "tree/sub/m", "another file system is mounted here"));
  EXPECT_EQ(read_file(t / "outside/keep"), "k");
}

// --- paths the system cannot take ---

TEST(NulInPath, EveryOperationRefusesBeforeTouchingTheShortenedPath) {
  TempDir t;
  write_file(t / "a", "kept");
  write_file(t / "src/f", "f");
  const std::string cut = t / "a" + std::string(1, '\0') + "b";  // the system would read it as .../a
  const std::string refused = io_text(cut, "file name contained an unexpected NUL byte");
  std::vector<std::string> files;
  const std::vector<std::pair<const char*, std::function<Status()>>> cases{
      {"remove_path", [&] { return remove_path(cut); }},
      {"remove_backup", [&] { return detail::remove_backup(cut); }},
      {"ensure_parent_dir", [&] { return ensure_parent_dir(cut + "/x"); }},
      {"collect_content_files", [&] { return collect_content_files(cut, cut, files); }},
      {"collect_uncovered_files", [&] { return detail::collect_uncovered_files(cut, files, PathSet{}); }},
      {"copy_backup_tree from", [&] { return copy_backup_tree(cut, t / "out"); }},
      {"copy_backup_tree to", [&] { return copy_backup_tree(t / "src", cut); }},
      {"copy_profile_content from", [&] { return copy_profile_content(cut, t / "out"); }},
      {"copy_profile_content to", [&] { return copy_profile_content(t / "src/f", cut); }},
  };
  for (const auto& [name, operation] : cases) {
    const std::string expected = std::string(name) == "ensure_parent_dir" ? io_text(cut + "/x", "file name contained an unexpected NUL byte") : refused;
    EXPECT_EQ(message_of(operation()), expected) << name;
    EXPECT_EQ(read_file(t / "a"), "kept") << name;
  }
  EXPECT_FALSE(path_exists(t / "out"));
  EXPECT_TRUE(files.empty());
}

// --- trees of any depth ---

TEST(DeepTrees, EveryWalkKeepsItsLevelsOffTheStack) {
  // The copies hold a descriptor for the source and one for the target per level.
  const std::size_t depth = std::min<std::size_t>(4000, (raise_descriptor_limit() - 64) / 2);
  if (depth < 3000) GTEST_SKIP() << "the descriptor limit allows only " << depth << " levels";
  TempDir t;
  make_dirs(t / "src");
  make_deep_dirs(t / "src", depth, "d", "leaf");
  on_small_stack([&] {
    std::vector<std::string> files;
    ASSERT_TRUE(collect_content_files(t / "src", t / "src", files));
    EXPECT_EQ(files, std::vector<std::string>{deep_relative_path(depth, "leaf")});
    ASSERT_TRUE(copy_profile_content(t / "src", t / "profile"));
    ASSERT_TRUE(copy_backup_tree(t / "src", t / "backup"));
    for (const char* copy : {"profile", "backup"}) {
      files.clear();
      ASSERT_TRUE(collect_content_files(t / copy, t / copy, files)) << copy;
      EXPECT_EQ(files, std::vector<std::string>{deep_relative_path(depth, "leaf")}) << copy;
    }
    files.clear();
    ASSERT_TRUE(detail::collect_uncovered_files(t / "src", files, PathSet{"d/d"}));
    EXPECT_TRUE(files.empty());
    ASSERT_TRUE(remove_path(t / "profile"));
    ASSERT_TRUE(detail::remove_backup(t / "backup"));
  });
  EXPECT_FALSE(path_exists(t / "profile"));
  EXPECT_FALSE(path_exists(t / "backup"));
}

// Deeper than the descriptors reach: the walks stop with the system's own
// error, and the removal leaves the tree as far as it got.
TEST(DeepTrees, RunningOutOfDescriptorsIsAnIoError) {
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  TempDir t;
  make_dirs(t / "src");
  make_deep_dirs(t / "src", 200, "d", "leaf");
  rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<std::string> files;
  const std::vector<std::pair<const char*, Status>> results{
      {"collect", collect_content_files(t / "src", t / "src", files)},
      {"profile copy", copy_profile_content(t / "src", t / "profile")},
      {"backup copy", copy_backup_tree(t / "src", t / "backup")},
      {"removal", remove_path(t / "src")},
  };
  ::setrlimit(RLIMIT_NOFILE, &saved);
  for (const auto& [name, result] : results) {
    const std::string message = message_of(result);
    EXPECT_TRUE(message.starts_with("I/O at " + t.path()) && message.ends_with(": Too many open files (os error 24)"))
        << name << ": " << message;
  }
  EXPECT_EQ(message_of(remove_path(t / "src")), "success");
}

// The backup is written inside the state directory; a tree holding that
// directory would have the copy chase its own output.
TEST(CopyBackupTree, RefusesToEnterTheDirectoryItWritesInto) {
  TempDir t;
  write_file(t / "home/.config/a", "a");
  write_file(t / "home/x/state/backups/old/f", "f");
  struct stat st {};
  ASSERT_EQ(::stat((t / "home/x/state").c_str(), &st), 0);
  const detail::DirIdentity state{st.st_dev, st.st_ino};
  const std::string refused = "the state directory cannot be copied into its own backup";

  EXPECT_EQ(message_of(detail::copy_backup_tree(t / "home", t / "b1", detail::ParentDir::Unknown, state)),
            io_text(t / "home/x/state", refused.c_str()));
  EXPECT_FALSE(path_exists(t / "b1/x/state"));
  EXPECT_EQ(message_of(detail::copy_backup_tree(t / "home/x/state", t / "b2", detail::ParentDir::Unknown, state)),
            io_text(t / "home/x/state", refused.c_str()));
  EXPECT_FALSE(path_exists(t / "b2"));
  // reached through a link it is still the same directory, but a link itself is copied as a link
  make_symlink(t / "home/x", t / "home/link");
  EXPECT_TRUE(detail::copy_backup_tree(t / "home/link", t / "b3", detail::ParentDir::Unknown, state));
  EXPECT_EQ(read_link(t / "b3"), t / "home/x");
  EXPECT_TRUE(detail::copy_backup_tree(t / "home/.config", t / "b4", detail::ParentDir::Unknown, state));
  EXPECT_EQ(read_file(t / "b4/a"), "a");
}

}  // namespace
}  // namespace vorpel
