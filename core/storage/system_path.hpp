// The last checks a path passes on its way into a system call.
#pragma once

#include <string>
#include <string_view>

#include "core/storage/core_error.hpp"

namespace vorpel {

// The system reads a path as a C string, so a NUL byte inside one would cut
// it short and make the call act on another file. Every path the tool hands
// to the system is checked here first and refused as an unusable name.
std::expected<void, OsError> check_system_path(std::string_view path);

// check_system_path as the `Io` error for `path`.
Status check_path_io(std::string_view path);

// Fails with the `Io` error the system gives for `path` ("File name too
// long") when the whole is longer than a path a call takes, or when one of
// the names of `relative` (the part of `path` the tool creates) is longer
// than `name_max`, the longest name on the file system it goes to.
Status check_path_fits(std::string_view path, std::string_view relative, long name_max);

// The longest file name the file system of `path`, or of its nearest
// existing ancestor, takes; NAME_MAX when that cannot be read.
long longest_name_at(const std::string& path);

// Fails with the `Io` error an O_NOFOLLOW open gives ("Too many levels of
// symbolic links") for the first component of `relative` below `base` that
// is a symbolic link, so that the names the tool owns inside its state
// directory never lead elsewhere. `base` itself may be reached through
// links: where the state directory lies is the user's choice. The check
// stops quietly at a component that is missing or not a directory; the
// operation that follows reports those in its own words.
Status refuse_links_below(const std::string& base, std::string_view relative);

}  // namespace vorpel
