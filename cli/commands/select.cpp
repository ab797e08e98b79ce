// Placeholder until this command is built; it fails rather than pretend to succeed.
#include "cli/commands/commands.hpp"

namespace vorpel::commands {

CommandResult<void> select_profile(const Profiles&, const std::string&, const std::string&, const std::string&,
                                   PackageMode) {
  return command_fail("select is not built yet");
}

}  // namespace vorpel::commands
