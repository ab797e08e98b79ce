#include "core/storage/state_location.hpp"

#include <cstdlib>

#include "core/storage/path_rules.hpp"

namespace vorpel {

std::string state_file_path(std::string_view home) {
  const char* xdg = std::getenv("XDG_STATE_HOME");
  std::string state_home;
  if (xdg == nullptr) {
    state_home = join_path(home, ".local/state");
  } else if (xdg[0] == '/') {
    state_home = xdg;
  } else {
    state_home = join_path(home, xdg);
  }
  return join_path(state_home, "vorpel/state.toml");
}

Result<std::string> state_directory(std::string_view state_path) {
  auto parent = parent_path(state_path);
  if (!parent) return fail("state path has no parent");
  return std::move(*parent);
}

}  // namespace vorpel
