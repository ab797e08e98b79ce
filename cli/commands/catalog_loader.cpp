// Placeholder until this command is built; it fails rather than pretend to succeed.
#include "cli/commands/commands.hpp"

namespace vorpel::commands {

CommandResult<ProfileCatalog> load_catalog() { return command_fail("the catalogue loader is not built yet"); }

CommandResult<ProfileCatalog> load_catalog_reporting_invalid() { return load_catalog(); }

}  // namespace vorpel::commands
