// Placeholder until this command is built; it fails rather than pretend to succeed.
#include "cli/commands/commands.hpp"

namespace vorpel::commands {

CommandResult<void> plan_profile(const Profiles&, const std::string&, const std::string&, const std::string&, bool) {
  return command_fail("plan is not built yet");
}

}  // namespace vorpel::commands
