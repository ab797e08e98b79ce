// Creating the directories the tool writes into.
#pragma once

#include <expected>
#include <string>

#include "core/storage/core_error.hpp"

namespace vorpel {

// Creates `path` and any missing ancestors, each new one with mode 0777 as
// reduced by the file-creation mask. An existing directory (also one reached
// through a symbolic link) is accepted unchanged.
std::expected<void, OsError> create_directories(const std::string& path);

// create_directories, then the mode set to exactly 0700, so that a directory
// that existed with wider bits is made private again. Failures are `Io` for
// `path`.
Status make_private_directory(const std::string& path);

}  // namespace vorpel
