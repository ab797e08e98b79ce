// Program entry: parse, dispatch, and turn the outcome into an exit status.
#pragma once

#include "cli/command_error.hpp"

namespace vorpel {

// Parses argv against the grammar and runs one command. Help requests and
// usage errors end the process inside the parser.
CommandResult<int> run_command_line(int argc, char** argv);

// HOME read as text, then the state file path derived from it.
CommandResult<std::string> read_home();
CommandResult<std::string> state_path_from_env();

}  // namespace vorpel
