// The four kinds of path the tool tells apart, read from a status taken
// without following a final symbolic link.
#pragma once

#include <sys/stat.h>

#include <string>

#include "core/storage/path_rules.hpp"
#include "core/storage/system_path.hpp"

namespace vorpel {

enum class FileKind { Directory, Regular, Symlink, Other };

inline FileKind file_kind(mode_t mode) {
  if (S_ISDIR(mode)) return FileKind::Directory;
  if (S_ISREG(mode)) return FileKind::Regular;
  if (S_ISLNK(mode)) return FileKind::Symlink;
  return FileKind::Other;
}

// Whether anything is at `path`, a dangling symbolic link included. A final
// link is never followed, also when the path ends in "/" (which would make
// the system resolve it, and fail for a regular file).
inline bool exists_no_follow(const std::string& path) {
  struct stat st {};
  return check_system_path(path) && ::lstat(trim_path_end(path).c_str(), &st) == 0;
}

}  // namespace vorpel
