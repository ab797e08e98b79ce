#include "cli/commands/command_steps.hpp"

#include <gtest/gtest.h>

#include "core/storage/state_store.hpp"
#include "tests/support/temp_dir.hpp"

namespace vorpel::commands {
namespace {

using testing::path_exists;
using testing::TempDir;
using testing::write_file;

// After a failure only the changes already made on the system are saved;
// a failing save stands beside the original error, never in its place.
TEST(SaveAfterFailureTest, SavesOnlyAChangedStateAndKeepsTheOriginalError) {
  TempDir t;
  UserState loaded;
  UserState recorded = loaded;
  recorded.introduced_packages.insert("zz");
  const std::string state_path = t / "state/state.toml";

  EXPECT_EQ(save_after_failure(state_path, loaded, loaded, CommandError::message("apply failed")).display(),
            "apply failed");
  EXPECT_FALSE(path_exists(state_path));

  EXPECT_EQ(save_after_failure(state_path, loaded, recorded, CommandError::message("apply failed")).display(),
            "apply failed");
  EXPECT_EQ(load_state(state_path), recorded);

  write_file(t / "file", "not a directory");
  const std::string unusable = t / "file/state.toml";
  const auto error = save_after_failure(unusable, loaded, recorded, CommandError::message("apply failed"));
  ASSERT_EQ(error.links().size(), 2u);
  EXPECT_TRUE(error.links()[0].starts_with("state file not updated after the failure (I/O at " + t / "file"))
      << error.links()[0];
  EXPECT_EQ(error.links()[1], "apply failed");
}

}  // namespace
}  // namespace vorpel::commands
