// Placeholder until this command is built; it fails rather than pretend to succeed.
#include "cli/commands/commands.hpp"

namespace vorpel::commands {

CommandResult<int> remove(const std::string&, const std::string&) { return command_fail("remove is not built yet"); }

CommandResult<int> prune(const std::string&) { return command_fail("prune is not built yet"); }

}  // namespace vorpel::commands
