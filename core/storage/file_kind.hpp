// The four kinds of path the tool tells apart, read from a status taken
// without following a final symbolic link.
#pragma once

#include <sys/stat.h>

namespace vorpel {

enum class FileKind { Directory, Regular, Symlink, Other };

inline FileKind file_kind(mode_t mode) {
  if (S_ISDIR(mode)) return FileKind::Directory;
  if (S_ISREG(mode)) return FileKind::Regular;
  if (S_ISLNK(mode)) return FileKind::Symlink;
  return FileKind::Other;
}

}  // namespace vorpel
