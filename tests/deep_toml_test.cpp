// TOML documents nested tens of thousands of levels deep, end to end: the
// parser would run out of stack on them, so each is refused as an invalid
// manifest and no run ends by a signal.
#include <string>

#include <gtest/gtest.h>

#include "tests/support/sandbox.hpp"

namespace vorpel::testing {
namespace {

const std::string kRefusal =
    "exceeded maximum nesting depth of 256 (dotted keys, table headers, arrays and inline tables)\n";

// A key of 35,000 parts: "a.a.a...a", some 70 KB on one line.
std::string deep_key() {
  std::string key = "a";
  for (int i = 1; i < 35000; ++i) key += ".a";
  return key;
}

TEST(DeepToml, DeepManifestIsARejectedProfileBesideValidOnes) {
  for (const std::string& text : {deep_key() + " = 1\n", "[" + deep_key() + "]\n", "x = {" + deep_key() + " = 1}\n"}) {
    Sandbox box;
    box.add_profile("good", {}, {});
    box.write_manifest("deep", "schema = 4\nname = \"deep\"\n" + text);
    const RunResult r = box.run({"list"});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 0) << r.err.substr(0, 300);
    EXPECT_EQ(r.out, "good (available)\n  good\n");
    const std::string manifest = box.profile_root() + "/deep/profile.toml";
    EXPECT_TRUE(r.err.starts_with("invalid profile " + manifest + ": invalid manifest " + manifest +
                                  ": TOML parse error at line 3, column "))
        << r.err.substr(0, 300);
    EXPECT_NE(r.err.find(kRefusal), std::string::npos) << r.err.substr(0, 300);
  }
}

TEST(DeepToml, DeepStateFileIsAnInvalidManifest) {
  for (const std::string& text : {"[" + deep_key() + "]\n", "schema = 5\n" + deep_key() + " = 1\n",
                                  "schema = 5\n[[" + deep_key() + "]]\n"}) {
    Sandbox box;
    box.write_state(text);
    const RunResult r = box.run({"current"});
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.starts_with("error: invalid manifest " + box.state_file() + ": TOML parse error at line "))
        << r.err.substr(0, 300);
    // the report once in the error's text and once more as its cause
    const std::size_t first = r.err.find("^\n" + kRefusal + ": TOML parse error at line ");
    EXPECT_NE(first, std::string::npos) << r.err.substr(0, 300);
    EXPECT_TRUE(r.err.ends_with("^\n" + kRefusal + "\n")) << r.err.substr(0, 300);
  }
}

}  // namespace
}  // namespace vorpel::testing
