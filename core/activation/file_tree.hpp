// Removing, walking and copying the trees that activation moves around.
// Kinds are always read without following a final symbolic link; the first
// failure ends an operation and nothing done before it is undone.
#pragma once

#include <string>
#include <vector>

#include "core/storage/core_error.hpp"

namespace vorpel {

// Removes whatever is at `path` (a directory with everything below it, a
// link itself, never its target). Nothing there counts as success. A mount
// point at or below `path` is refused, never entered.
Status remove_path(const std::string& path);

// Appends the regular files below `directory` to `files`, relative to
// `root`, in pre-order with each directory's names in byte order. Any entry
// that is neither a directory nor a regular file is refused.
Status collect_content_files(const std::string& root, const std::string& directory, std::vector<std::string>& files);

// Copies files, directories and symbolic links (as links); a directory gets
// its source's permission bits after its entries are copied.
Status copy_backup_tree(const std::string& source, const std::string& target);

// Copies files and directories and refuses symbolic links; a directory gets
// its source's permission bits before any entry is copied.
Status copy_profile_content(const std::string& source, const std::string& target);

// Creates the parent of `path` with any missing ancestors.
Status ensure_parent_dir(const std::string& path);

}  // namespace vorpel
