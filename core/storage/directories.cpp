#include "core/storage/directories.hpp"

#include <sys/stat.h>

#include <cerrno>

#include "core/storage/path_rules.hpp"

namespace vorpel {

std::expected<void, OsError> create_directories(const std::string& path) {
  if (path.empty()) return {};
  if (::mkdir(path.c_str(), 0777) == 0) return {};
  int err = errno;
  if (err == ENOENT) {
    const auto parent = parent_path(path);
    if (parent && !parent->empty() && *parent != path) {
      if (auto made = create_directories(*parent); !made) return made;
    }
    if (::mkdir(path.c_str(), 0777) == 0) return {};
    err = errno;
  }
  // Lost a race with another creator, or the directory was there already.
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
  return std::unexpected(OsError::from_errno(err));
}

Status make_private_directory(const std::string& path) {
  if (auto made = create_directories(path); !made) return fail_io(path, std::move(made.error()));
  if (::chmod(path.c_str(), 0700) != 0) return fail_errno(path);
  return {};
}

}  // namespace vorpel
