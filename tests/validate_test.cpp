// `validate PROFILE_ROOT` through the binary: both streams and the status.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/sandbox.hpp"

namespace vorpel::testing {
namespace {

TEST(Validate, ValidLinesComeFirstThenOneWarningPerRejectedDirectory) {
  Sandbox box;
  box.add_profile("zeta", {}, {});
  box.write_manifest("old", "schema = 3\nname = \"Old\"\n");
  box.add_profile("alpha", {"zsh"}, {".profile"});
  box.write_content("alpha", ".profile", "alpha\n");
  box.write_manifest("Upper", "schema = 4\nname = \"Upper\"\n");
  const std::string root = box.profile_root();

  const RunResult r = box.run({"validate", root});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "validated profile alpha\nvalidated profile zeta\n");
  EXPECT_EQ(r.err, "invalid profile " + root + "/Upper/profile.toml: invalid profile id Upper\n" +
                       "invalid profile " + root + "/old/profile.toml: unsupported profile schema 3; expected 4\n");
}

TEST(Validate, AllValidExitsZero) {
  Sandbox box;
  box.add_profile("work", {}, {});
  const RunResult r = box.run({"validate", box.profile_root()});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "validated profile work\n");
  EXPECT_EQ(r.err, "");
}

TEST(Validate, NoProfilesFound) {
  Sandbox box;
  make_dirs(box.profile_root() + "/no-manifest-here");
  const std::string missing = box.root() + "/missing/vorpel/profiles";
  for (const std::string& root : {box.profile_root(), missing}) {
    const RunResult r = box.run({"validate", root});
    EXPECT_EQ(r.status, 2) << root;
    EXPECT_EQ(r.out, "") << root;
    EXPECT_EQ(r.err, "no profiles found under " + root + "\n") << root;
  }
}

TEST(Validate, RootThatIsAFileFailsWithTheErrorLine) {
  Sandbox box;
  const std::string file = box.root() + "/file";
  write_file(file, "");
  const RunResult r = box.run({"validate", file});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "error: I/O at " + file + ": Not a directory (os error 20): Not a directory (os error 20)\n");
}

TEST(Validate, RelativeRootIsTakenFromTheWorkingDirectoryAndNotTheEnvironment) {
  Sandbox box;
  box.add_profile("work", {}, {});
  RunOptions options;
  options.env = box.env;
  options.env["VORPEL_PROFILE_ROOT"] = box.root() + "/elsewhere";
  options.env["HOME"] = std::nullopt;
  options.cwd = box.root() + "/share";
  const RunResult r = run_vorpel({"validate", "vorpel/profiles"}, options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "validated profile work\n");
}

TEST(Validate, RootNotUtf8IsShownWithReplacementCharacters) {
  Sandbox box;
  const std::string root = box.root() + "/r\xFF";
  const RunResult r = box.run({"validate", root});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "no profiles found under " + box.root() + "/r\xEF\xBF\xBD\n");
}

}  // namespace
}  // namespace vorpel::testing
