// Where the per-user state directory lies, and the entries derived from it.
#pragma once

#include <string>
#include <string_view>

#include "core/storage/core_error.hpp"

namespace vorpel {

inline constexpr std::string_view kStateFileName = "state.toml";

// HOME (as the front end read it) to the state file path, using
// XDG_STATE_HOME as raw bytes. Never fails; nothing is normalised.
std::string state_file_path(std::string_view home);

// The state directory: the parent of the state file path, or the Message
// "state path has no parent".
Result<std::string> state_directory(std::string_view state_path);

}  // namespace vorpel
