// Trees far deeper than a recursive walk survives, end to end: every
// command either succeeds or stops with the clean error for running out of
// descriptors, never with a signal, and a refused select leaves HOME as it was.
#include <sys/stat.h>

#include <cstdio>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/deep_tree.hpp"
#include "tests/support/sandbox.hpp"

namespace vorpel::testing {
namespace {

constexpr const char* kOutOfDescriptors = "Too many open files (os error 24)";

// Exit status 0, or 2 with every line on standard error a report of the
// descriptors running out (the final "error: " line included).
void expect_success_or_out_of_descriptors(const RunResult& result) {
  EXPECT_EQ(result.signal, 0) << result.err;
  if (result.status == 0) return;
  EXPECT_EQ(result.status, 2) << result.err;
  const auto lines = lines_of(result.err);
  ASSERT_FALSE(lines.empty());
  for (const auto& line : lines) EXPECT_TRUE(line.ends_with(kOutOfDescriptors)) << line;
}

class DeepTreeTest : public ::testing::Test {
 protected:
  void SetUp() override { raise_descriptor_limit(); }  // the binary inherits it and goes as deep as it can
  Sandbox box;
};

// One tree serves both ends, as building and removing it is the slow part:
// first in HOME under a write target, then moved whole into a content root.
TEST_F(DeepTreeTest, ThirtyThousandLevelsInHomeThenInAProfile) {
  box.add_profile("small", {}, {".config"});
  box.write_content("small", ".config/rc", "rc\n");
  make_dirs(box.home() + "/.config");
  make_deep_dirs(box.home() + "/.config", 30000, "d", "leaf");

  const RunResult selected = box.run({"select", "small"});
  expect_success_or_out_of_descriptors(selected);
  std::string deep_tree = box.home() + "/.config/d";
  if (selected.status == 0) {
    EXPECT_EQ(read_file(box.home() + "/.config/rc"), "rc\n");
    const auto backups = names_in(box.state_dir() + "/backups");
    ASSERT_EQ(backups.size(), 1u);
    deep_tree = box.state_dir() + "/backups/" + backups[0] + "/home/.config/d";
  } else {
    // refused before HOME changed
    EXPECT_FALSE(path_exists(box.home() + "/.config/rc"));
    EXPECT_FALSE(path_exists(box.state_file()));
  }
  ASSERT_TRUE(path_exists(deep_tree + "/d/d"));

  box.add_profile("deep", {}, {".config"});
  make_dirs(box.content_root("deep") + "/.config");
  ASSERT_EQ(::rename(deep_tree.c_str(), (box.content_root("deep") + "/.config/d").c_str()), 0);
  expect_success_or_out_of_descriptors(box.run({"validate", box.profile_root()}));
  const RunResult listed = box.run({"list"});
  EXPECT_EQ(listed.status, 0) << listed.err;
  expect_success_or_out_of_descriptors(RunResult{0, listed.signal, "", listed.err});
}

}  // namespace
}  // namespace vorpel::testing
