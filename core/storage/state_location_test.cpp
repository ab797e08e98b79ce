#include "core/storage/state_location.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

namespace vorpel {
namespace {

struct XdgCase {
  std::string home;
  std::optional<std::string> xdg;
  std::string expected;
};

TEST(StateFilePath, JoiningRule) {
  const XdgCase cases[] = {
      {"/home/u", std::nullopt, "/home/u/.local/state/vorpel/state.toml"},
      {"/home/u", "/var/st", "/var/st/vorpel/state.toml"},
      {"/home/u", "/var/st/", "/var/st/vorpel/state.toml"},
      {"/home/u", "/", "/vorpel/state.toml"},
      {"/home/u", "st", "/home/u/st/vorpel/state.toml"},
      {"/home/u", "", "/home/u/vorpel/state.toml"},
      {"/home/u/", std::nullopt, "/home/u/.local/state/vorpel/state.toml"},
      {"", std::nullopt, ".local/state/vorpel/state.toml"},
      {"/home/./u//", "../x", "/home/./u//../x/vorpel/state.toml"},
  };
  for (const auto& c : cases) {
    if (c.xdg) setenv("XDG_STATE_HOME", c.xdg->c_str(), 1);
    else unsetenv("XDG_STATE_HOME");
    EXPECT_EQ(state_file_path(c.home), c.expected) << c.home << " / " << c.xdg.value_or("(unset)");
  }
  unsetenv("XDG_STATE_HOME");
}

TEST(StateDirectory, ParentOrError) {
  EXPECT_EQ(*state_directory("/home/u/.local/state/vorpel/state.toml"), "/home/u/.local/state/vorpel");
  const auto none = state_directory("/");
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().text(), "state path has no parent");
}

}  // namespace
}  // namespace vorpel
