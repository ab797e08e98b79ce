// Whole-file replacement through a synced temporary file and one rename.
#pragma once

#include <string>
#include <string_view>

#include "core/storage/core_error.hpp"

namespace vorpel {

Status write_file_atomically(const std::string& target, std::string_view contents);

}  // namespace vorpel
