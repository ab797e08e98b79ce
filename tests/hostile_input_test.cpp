// Hostile Profiles and HOME layouts, end to end: each one is refused with
// its own message and status 2, and nothing outside HOME changes.
#include <sys/stat.h>

#include <functional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/sandbox.hpp"

namespace vorpel::testing {
namespace {

struct HostileCase {
  std::string name;
  std::function<void(Sandbox&)> arrange;
  std::vector<std::string> args;  // "PROFILE_ROOT" stands for the sandbox's profile root
  // Exact final line of standard error (without the newline).
  std::function<std::string(const Sandbox&)> last_error_line;
};

// Test names carry the case; gtest need not dump the bytes of the record.
void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

class HostileInputTest : public ::testing::TestWithParam<HostileCase> {};

std::string last_line(const std::string& text) {
  std::string trimmed = text;
  if (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
  const auto newline = trimmed.rfind('\n');
  return newline == std::string::npos ? trimmed : trimmed.substr(newline + 1);
}

TEST_P(HostileInputTest, IsRefusedAndChangesNothingOutsideHome) {
  const HostileCase& c = GetParam();
  Sandbox box;
  // A sentinel tree outside HOME that a careless write or removal would hit.
  write_file(box.root() + "/outside/keep/file", "sentinel\n");
  c.arrange(box);
  const auto before = tree_image(box.root(), box.home());

  std::vector<std::string> args = c.args;
  for (auto& arg : args) {
    if (arg == "PROFILE_ROOT") arg = box.profile_root();
  }
  const RunResult result = box.run(args);

  EXPECT_EQ(result.status, 2) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(last_line(result.err), c.last_error_line(box)) << result.err;
  EXPECT_EQ(tree_image(box.root(), box.home()), before);
  EXPECT_FALSE(path_exists(box.state_file()));
}

std::string invalid_profile(const Sandbox& box, const std::string& id, const std::string& message) {
  return "invalid profile " + box.profile_root() + "/" + id + "/profile.toml: " + message;
}

void manifest_managing(Sandbox& box, const std::string& path) {
  box.write_manifest("evil", "schema = 4\nname = \"evil\"\nmanage = [\"" + path + "\"]\n");
  make_dirs(box.content_root("evil"));
}

const HostileCase kCases[] = {
    {"ParentComponentInManagedPath",
     [](Sandbox& box) { manifest_managing(box, "../outside"); },
     {"validate", "PROFILE_ROOT"},
     [](const Sandbox& box) { return invalid_profile(box, "evil", "invalid managed path ../outside"); }},
    {"AbsoluteManagedPath",
     [](Sandbox& box) { manifest_managing(box, "/etc/passwd"); },
     {"select", "evil"},
     [](const Sandbox&) { return std::string("error: unknown Profile evil"); }},
    {"ManagedPathIntoTheStateDirectory",
     [](Sandbox& box) {
       manifest_managing(box, ".local/state/vorpel");
       write_file(box.content_root("evil") + "/.local/state/vorpel/state.toml", "schema = 5\n");
     },
     {"validate", "PROFILE_ROOT"},
     [](const Sandbox& box) {
       return invalid_profile(box, "evil", "managed path .local/state/vorpel overlaps Vorpel state");
     }},
    {"SymbolicLinkInHomeInPlaceOfAParentDirectory",
     [](Sandbox& box) {
       manifest_managing(box, ".config/app");
       write_file(box.content_root("evil") + "/.config/app/rc", "x\n");
       make_symlink(box.root() + "/outside", box.home() + "/.config");
     },
     {"select", "evil"},
     [](const Sandbox& box) {
       return "error: configuration parent " + box.home() + "/.config is a symbolic link";
     }},
    {"SymbolicLinkInContentRoot",
     [](Sandbox& box) {
       manifest_managing(box, ".config");
       make_dirs(box.content_root("evil") + "/.config");
       make_symlink("/etc/passwd", box.content_root("evil") + "/.config/passwd");
     },
     {"validate", "PROFILE_ROOT"},
     [](const Sandbox& box) {
       return invalid_profile(box, "evil",
                              "profile content may not contain symbolic link " + box.content_root("evil") +
                                  "/.config/passwd");
     }},
    {"NamedPipeInContentRoot",
     [](Sandbox& box) {
       manifest_managing(box, ".config");
       make_dirs(box.content_root("evil") + "/.config");
       ASSERT_EQ(mkfifo((box.content_root("evil") + "/.config/pipe").c_str(), 0600), 0);
     },
     {"validate", "PROFILE_ROOT"},
     [](const Sandbox& box) {
       return invalid_profile(box, "evil",
                              "unsupported profile content " + box.content_root("evil") + "/.config/pipe");
     }},
    {"StateDirectoryInsideAManagedTarget",
     [](Sandbox& box) {
       manifest_managing(box, ".config");
       write_file(box.content_root("evil") + "/.config/rc", "x\n");
       box.env["XDG_STATE_HOME"] = box.home() + "/.config/st";
     },
     {"select", "evil"},
     [](const Sandbox& box) {
       return "error: configuration path " + box.home() + "/.config overlaps Vorpel state " + box.home() +
              "/.config/st/vorpel";
     }},
    {"ProfileDirectoryNameNotUtf8",
     [](Sandbox& box) {
       box.write_manifest("bad\xff", "schema = 4\nname = \"bad\"\n");
       make_dirs(box.root() + "/share/bad\xff");
     },
     {"validate", "PROFILE_ROOT"},
     [](const Sandbox& box) {
       return invalid_profile(box, "bad\xEF\xBF\xBD", "profile directory name is not valid UTF-8");
     }},
};

INSTANTIATE_TEST_SUITE_P(Cases, HostileInputTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace vorpel::testing
