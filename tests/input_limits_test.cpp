// Manifests and the state file past the size limit, end to end: each is
// refused by its size, without being read whole, so neither a sparse file
// of gigabytes nor an endless file of /proc costs time or memory; a file
// of exactly the limit is read as usual.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/sandbox.hpp"

namespace vorpel::testing {
namespace {

constexpr std::size_t kLimit = std::size_t{8} << 20;
const std::string kRefusal = "file exceeds the size limit of 8 MiB";

// `head` padded with a comment to exactly `size` bytes.
std::string padded(const std::string& head, std::size_t size) {
  std::string text = head + "#";
  text.append(size - text.size() - 1, 'x');
  text += '\n';
  return text;
}

struct LimitCase {
  std::string name;
  // Puts the file in place at the given path.
  std::function<void(const std::string&)> arrange;
  bool accepted;
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.name; }

// The same files serve as manifest and as state file, each begun with the
// head of a valid document of its kind.
std::vector<LimitCase> cases_for(const std::string& head) {
  return {
      {"AtTheLimit", [head](const std::string& path) { write_file(path, padded(head, kLimit)); }, true},
      {"OneByteOver", [head](const std::string& path) { write_file(path, padded(head, kLimit + 1)); }, false},
      {"SparseGiant",
       [head](const std::string& path) {
         write_file(path, head);
         ASSERT_EQ(truncate(path.c_str(), std::int64_t{64} << 30), 0);
       },
       false},
      // Reports no size, yields data without end.
      {"LinkToProcPagemap", [](const std::string& path) { make_symlink("/proc/self/pagemap", path); }, false},
  };
}

class ManifestLimitTest : public ::testing::TestWithParam<LimitCase> {};
class StateLimitTest : public ::testing::TestWithParam<LimitCase> {};

TEST_P(ManifestLimitTest, ListRefusesOnlyWhatIsPastTheLimit) {
  Sandbox box;
  box.add_profile("good", {}, {});
  const std::string manifest = box.profile_root() + "/big/profile.toml";
  make_dirs(box.profile_root() + "/big");
  make_dirs(box.content_root("big"));
  GetParam().arrange(manifest);

  const RunResult r = box.run({"list"});
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 0) << r.err.substr(0, 300);
  if (GetParam().accepted) {
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "big (available)\n  big\ngood (available)\n  good\n");
  } else {
    EXPECT_EQ(r.err, "invalid profile " + manifest + ": I/O at " + manifest + ": " + kRefusal + "\n");
    EXPECT_EQ(r.out, "good (available)\n  good\n");
  }
}

TEST_P(StateLimitTest, CurrentRefusesOnlyWhatIsPastTheLimit) {
  Sandbox box;
  make_dirs(box.state_dir());
  GetParam().arrange(box.state_file());

  const RunResult r = box.run({"current"});
  EXPECT_EQ(r.signal, 0);
  if (GetParam().accepted) {
    EXPECT_EQ(r.status, 0) << r.err.substr(0, 300);
    EXPECT_EQ(r.out, "Active Profile: none\nRetained Profiles: none\n");
  } else {
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "error: I/O at " + box.state_file() + ": " + kRefusal + ": " + kRefusal + "\n");
    EXPECT_EQ(r.out, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Files, ManifestLimitTest, ::testing::ValuesIn(cases_for("schema = 4\nname = \"big\"\n")),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Files, StateLimitTest, ::testing::ValuesIn(cases_for("schema = 5\n")),
                         [](const auto& info) { return info.param.name; });

// A document within the limit can still need more memory than the process
// may have; running out is one error line and status 2, never an abort.
TEST(AllocationFailure, IsAnErrorLineNotAnAbort) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the address sanitizer needs more address space than the limit leaves";
#endif
  Sandbox box;
  std::string many = "schema = 4\nname = \"many\"\nmanage = [";
  while (many.size() < kLimit - 8) many += "'a',";
  box.write_manifest("many", many + "]\n");
  RunOptions options;
  options.env = box.env;
  // Some 200 MiB of address space: the program starts, parsing the
  // document does not fit.
  const RunResult r = run_program(
      {"/bin/sh", "-c", "ulimit -v 200000 && exec \"$0\" \"$@\"", vorpel_binary(), "list"}, options);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "error: out of memory\n");
  EXPECT_EQ(r.out, "");
}

// Two retained Profiles can hold more than one manifest may: a switch whose
// state would pass the limit is refused before anything changes, so the
// state file stays one that every later command can read.
TEST(StateSizeLimit, ASwitchWhoseStateWouldNotFitChangesNothing) {
  Sandbox box;
  // Paths near the system's length limit make each Profile hold over half
  // the limit with a few thousand files.
  std::string deep = ".d";
  for (int i = 0; i < 11; ++i) deep += "/" + std::string(240, static_cast<char>('a' + i));
  const std::string tail(200, 'f');
  for (const std::string id : {"one", "two"}) {
    std::vector<std::string> manage;
    for (int i = 0; i < 1600; ++i) {
      manage.push_back(deep + "/" + id + std::to_string(i) + tail);
      box.write_content(id, manage.back(), id);
    }
    box.add_profile(id, {}, manage);
  }
  const RunResult first = box.run({"select", "one"});
  ASSERT_EQ(first.status, 0) << first.err.substr(0, 300);
  const std::string state_before = read_file(box.state_file());
  ASSERT_GT(state_before.size(), kLimit / 2);
  const TreeImage home_before = tree_image(box.home());

  const RunResult r = box.run({"select", "two"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("error: the state would not fit in " + box.state_file() + ": "))
      << r.err.substr(0, 300);
  EXPECT_TRUE(r.err.ends_with(" bytes, over the size limit of 8 MiB\n")) << r.err.substr(0, 300);
  EXPECT_EQ(read_file(box.state_file()), state_before);
  EXPECT_EQ(tree_image(box.home()), home_before);
  EXPECT_EQ(box.run({"current"}).out, "Active Profile: one\nRetained Profiles: one\n");
}

// A value that a refusal names is cut after 200 characters, so that a
// manifest or state file of megabytes cannot make a message of megabytes.
struct NamedValueCase {
  const char* name;
  bool in_state;      // the text is the state file, else the manifest of "long"
  std::string text;
  std::string error;  // the expected standard error, with {} for the file
};

TEST(NamedValues, AreCutInMessages) {
  const std::string huge(1 << 20, 'k');
  const std::string cut = std::string(200, 'k') + "...";
  const std::string path = "k/" + huge;
  const std::string path_cut = "k/" + std::string(198, 'k') + "...";
  const std::string manifest_head = "schema = 4\nname = \"long\"\n";
  const std::string state_head = "schema = 5\nintroduced_packages = []\n";
  const std::string entry = "\n[profiles.a]\nname = \"a\"\ndescription = \"\"\npackages = []\n";
  const std::vector<NamedValueCase> cases{
      {"invalid package name", false, manifest_head + "packages = [\"" + huge + "\"]\n",
       "invalid profile {}: invalid package name " + cut + "\n"},
      {"invalid managed path", false, manifest_head + "manage = [\"" + path + "/../x\"]\n",
       "invalid profile {}: invalid managed path " + path_cut + "\n"},
      {"missing managed path", false, manifest_head + "manage = [\"" + path + "\"]\n",
       "invalid profile {}: managed path " + path_cut + " does not exist in {content}\n"},
      {"unretained active Profile", true, state_head + "active_profile = \"" + huge + "\"\n",
       "error: active profile " + cut + " is not retained\n"},
      {"invalid saved Profile", true, state_head + "[profiles." + huge + "]\nname = \"a\"\n",
       "error: invalid saved profile " + cut + "\n"},
      {"invalid introduced package", true, "schema = 5\nintroduced_packages = [\"" + huge + "\"]\n",
       "error: invalid package name " + cut + "\n"},
      {"invalid retained path", true, state_head + entry + "manage = [\"/" + path + "\"]\n",
       "error: invalid managed path /" + path_cut.substr(0, path_cut.size() - 4) + "... for profile a\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    const std::string manifest = box.profile_root() + "/long/profile.toml";
    make_dirs(box.content_root("long"));
    if (c.in_state) {
      make_dirs(box.state_dir());
      box.write_state(c.text);
    } else {
      box.write_manifest("long", c.text);
    }
    const RunResult r = box.run({"list"});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, c.in_state ? 2 : 0);
    std::string error = c.error;
    if (auto at = error.find("{}"); at != std::string::npos) error.replace(at, 2, manifest);
    if (auto at = error.find("{content}"); at != std::string::npos) error.replace(at, 9, box.content_root("long"));
    EXPECT_EQ(r.err, error) << r.err.substr(0, 400);
  }
}

}  // namespace
}  // namespace vorpel::testing
