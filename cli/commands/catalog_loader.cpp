#include <cstdio>

#include <fmt/format.h>

#include "cli/commands/commands.hpp"
#include "core/storage/catalog.hpp"
#include "core/storage/path_text.hpp"

namespace vorpel::commands {

CommandResult<ProfileCatalog> load_catalog() {
  auto catalog = load_profile_catalog(resolve_profile_root());
  if (!catalog) return command_fail(catalog.error());
  return std::move(*catalog);
}

CommandResult<ProfileCatalog> load_catalog_reporting_invalid() {
  auto catalog = load_catalog();
  if (!catalog) return catalog;
  for (const auto& rejected : catalog->rejected) {
    fmt::print(stderr, "invalid profile {}: {}\n", display_path(rejected.manifest), rejected.message);
  }
  return catalog;
}

}  // namespace vorpel::commands
