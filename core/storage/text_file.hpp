// Reading a whole file as UTF-8 text.
#pragma once

#include <expected>
#include <string>

#include "core/storage/core_error.hpp"

namespace vorpel {

// The whole content of `path` (symbolic links followed), which must be valid
// UTF-8 (`OsError::invalid_utf8()` otherwise). A directory fails as reading
// it does (EISDIR). Anything but a regular file or a directory (a named pipe,
// a device) is refused without reading, so that it can neither block nor
// stream without end.
std::expected<std::string, OsError> read_text_file(const std::string& path);

}  // namespace vorpel
