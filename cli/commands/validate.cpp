// Placeholder until this command is built; it fails rather than pretend to succeed.
#include "cli/commands/commands.hpp"

namespace vorpel::commands {

CommandResult<int> validate(const std::string&) { return command_fail("validate is not built yet"); }

}  // namespace vorpel::commands
