// Program entry: parse, dispatch, and turn the outcome into an exit status.
#pragma once

#include <string>

#include "cli/command_error.hpp"
#include "cli/grammar.hpp"

namespace vorpel {

// Opens "/dev/null" onto each of descriptors 0, 1 and 2 that is closed, so
// that no file the tool opens later can take a standard stream's number and
// receive its output. Called first thing by the process entry.
CommandResult<void> open_standard_streams();

// Parses argv against the grammar and runs one command. Help requests and
// usage errors end the process here: help on standard output with status 0,
// usage reports on standard error with status 2.
CommandResult<int> run_command_line(int argc, char** argv);

// Runs one parsed command: HOME and the state file path first (except for
// `validate`), then the catalogue where the command needs it, then the
// command's procedure.
CommandResult<int> run_command(const CliCommand& command);

// HOME read as text, and the state file path derived from it. Either fails
// with "HOME is not set" above the environment error when HOME is unset or
// not UTF-8; an empty HOME is accepted.
CommandResult<std::string> read_home();
CommandResult<std::string> state_path_from_env();

}  // namespace vorpel
