// Placeholder until this command is built; it fails rather than pretend to succeed.
#include "cli/commands/commands.hpp"

namespace vorpel::commands {

CommandResult<int> list(const ProfileCatalog&, const std::string&, bool) { return command_fail("list is not built yet"); }

CommandResult<int> show(const ProfileCatalog&, const std::string&, const std::string&, bool) {
  return command_fail("show is not built yet");
}

CommandResult<int> current(const std::string&, bool) { return command_fail("current is not built yet"); }

}  // namespace vorpel::commands
