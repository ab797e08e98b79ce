// Placeholder until this command is built; it fails rather than pretend to succeed.
#include "cli/commands/commands.hpp"

namespace vorpel::commands {

CommandResult<std::string> active_profile_for_update(const std::string&) {
  return command_fail("update is not built yet");
}

CommandResult<void> update_profile(const Profiles&, const std::string&, const std::string&, const std::string&) {
  return command_fail("update is not built yet");
}

}  // namespace vorpel::commands
