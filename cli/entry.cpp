#include "cli/entry.hpp"

#include "cli/commands/commands.hpp"

namespace vorpel {

// Temporary: the grammar replaces this.
CommandResult<int> run_command_line(int, char**) { return command_fail("the command line is not built yet"); }

CommandResult<std::string> read_home() { return command_fail("HOME is not set"); }
CommandResult<std::string> state_path_from_env() { return command_fail("HOME is not set"); }

}  // namespace vorpel
