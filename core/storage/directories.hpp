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

// Whether a symbolic link at the directory's own name is followed. The state
// directory may be one (where it lies is the user's choice); the names the
// tool owns inside it may not, or their mode change and whatever is written
// into them would land elsewhere.
enum class LinkAtName { Follow, Refuse };

// create_directories, then the mode set to exactly 0700, so that a directory
// that existed with wider bits is made private again. With LinkAtName::Refuse
// a symbolic link at `path` fails ("Too many levels of symbolic links") and
// is neither followed nor changed; ancestors may still be links. Failures are
// `Io` for `path`.
Status make_private_directory(const std::string& path, LinkAtName link = LinkAtName::Follow);

}  // namespace vorpel
