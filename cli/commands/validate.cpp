// `validate PROFILE_ROOT`: checks every Profile declaration below a root
// with the catalogue's own rules.
#include <cstdio>

#include <fmt/format.h>

#include "cli/commands/commands.hpp"
#include "core/storage/catalog.hpp"
#include "core/storage/path_text.hpp"

namespace vorpel::commands {

CommandResult<int> validate(const std::string& profile_root) {
  auto catalog = load_profile_catalog(profile_root);
  if (!catalog) return command_fail(catalog.error());

  for (const auto& [id, profile] : catalog->profiles) fmt::print(stdout, "validated profile {}\n", id);
  std::fflush(stdout);  // the valid lines come first, also when both streams share a file
  if (!catalog->rejected.empty()) {
    for (const auto& rejected : catalog->rejected) {
      fmt::print(stderr, "invalid profile {}: {}\n", display_path(rejected.manifest), rejected.message);
    }
    return 2;
  }
  if (catalog->profiles.empty()) {
    fmt::print(stderr, "no profiles found under {}\n", display_path(profile_root));
    return 2;
  }
  return 0;
}

}  // namespace vorpel::commands
