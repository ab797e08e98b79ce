#include "cli/commands/commands.hpp"
#include "cli/commands/reports.hpp"
#include "core/storage/catalog.hpp"

namespace vorpel::commands {

CommandResult<ProfileCatalog> load_catalog() {
  auto catalog = load_profile_catalog(resolve_profile_root());
  if (!catalog) return command_fail(catalog.error());
  return std::move(*catalog);
}

CommandResult<ProfileCatalog> load_catalog_reporting_invalid() {
  auto catalog = load_catalog();
  if (!catalog) return catalog;
  for (const auto& rejected : catalog->rejected) write_stderr(invalid_profile_line(rejected));
  return catalog;
}

}  // namespace vorpel::commands
