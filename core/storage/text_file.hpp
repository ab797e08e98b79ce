// Reading a whole file as UTF-8 text, up to a size limit.
#pragma once

#include <cstddef>
#include <expected>
#include <string>

#include "core/storage/core_error.hpp"

namespace vorpel {

// The most a manifest or the state file may hold. A real one holds a few
// kilobytes; this is room for some 100,000 managed paths, and small enough
// that reading and parsing it stays within a modest amount of memory.
inline constexpr std::size_t kTomlFileLimit = std::size_t{8} << 20;

// The whole content of `path` (symbolic links followed), which must be valid
// UTF-8 (`OsError::invalid_utf8()` otherwise) and hold at most `limit`
// bytes: a larger file is refused without being read whole, so a sparse
// giant or an endless special file (such as one of /proc) costs no more
// than `limit` bytes of memory. A directory fails as reading it does
// (EISDIR). Anything but a regular file or a directory (a named pipe, a
// device) is refused without opening it, so that it can neither block,
// stream without end, nor act on being opened.
std::expected<std::string, OsError> read_text_file(const std::string& path, std::size_t limit = kTomlFileLimit);

// The text of the refusal of a file larger than `limit` bytes.
std::string size_limit_text(std::size_t limit);

}  // namespace vorpel
