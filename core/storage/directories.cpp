#include "core/storage/directories.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <vector>

#include "core/storage/path_rules.hpp"
#include "core/storage/system_path.hpp"
#include "core/storage/unique_fd.hpp"

namespace vorpel {
namespace {

// mkdir of `path`, its missing ancestors made first (one that exists, also
// through a link, is accepted). Fails with the error of the last mkdir of
// `path` itself, EEXIST included. A work list, not recursion: a path may
// have any number of missing components.
std::expected<void, OsError> make_directory_with_ancestors(const std::string& path) {
  struct Pending {
    std::string path;
    bool parent_asked;  // its parent is asked for once, which ends a race with a remover
  };
  std::vector<Pending> pending{{path, false}};  // the deepest at the front
  while (!pending.empty()) {
    Pending& dir = pending.back();
    if (::mkdir(dir.path.c_str(), 0777) == 0) {
      pending.pop_back();
      continue;
    }
    const int err = errno;
    if (err == ENOENT && !dir.parent_asked) {
      dir.parent_asked = true;
      auto parent = parent_path(dir.path);
      if (parent && !parent->empty() && *parent != dir.path) {
        pending.push_back(Pending{std::move(*parent), false});
        continue;
      }
    }
    struct stat st {};
    const bool ancestor_in_place =
        pending.size() > 1 && ::stat(dir.path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (!ancestor_in_place) return std::unexpected(OsError::from_errno(err));
    pending.pop_back();
  }
  return {};
}

// Sets a directory that exists at `path`, not through a link there, to
// 0700: through a descriptor opened without following, so that the mode
// change cannot land on whatever a link points to.
std::expected<void, OsError> narrow_without_following(const std::string& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (fd) {
    if (::fchmod(fd.get(), 0700) != 0) return std::unexpected(OsError::last());
    return {};
  }
  const int err = errno;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return std::unexpected(OsError::from_errno(err));
  if (S_ISLNK(st.st_mode)) return std::unexpected(OsError::from_errno(ELOOP));
  // Something else is at the name, which the creation found taken.
  if (!S_ISDIR(st.st_mode)) return std::unexpected(OsError::from_errno(EEXIST));
  if (err != EACCES) return std::unexpected(OsError::from_errno(err));
  // A directory its owner may not read cannot be opened; by its name it
  // still can be narrowed, and it was no link a moment ago.
  if (::chmod(path.c_str(), 0700) != 0) return std::unexpected(OsError::last());
  return {};
}

}  // namespace

std::expected<void, OsError> create_directories(const std::string& path) {
  if (path.empty()) return {};
  if (auto checked = check_system_path(path); !checked) return checked;
  auto made = make_directory_with_ancestors(path);
  if (made) return {};
  // Lost a race with another creator, or the directory was there already.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return {};
  return made;
}

Status make_private_directory(const std::string& path, LinkAtName link) {
  if (auto checked = check_path_io(path); !checked) return checked;
  if (link == LinkAtName::Follow) {
    if (auto made = create_directories(path); !made) return fail_io(path, std::move(made.error()));
    if (::chmod(path.c_str(), 0700) != 0) return fail_errno(path);
    return {};
  }
  // "dir/" would make the system follow a link at "dir".
  const std::string name = trim_path_end(path);
  if (auto created = make_directory_with_ancestors(name); !created && created.error().code() != EEXIST) {
    return fail_io(path, std::move(created.error()));
  }
  if (auto narrowed = narrow_without_following(name); !narrowed) return fail_io(path, std::move(narrowed.error()));
  return {};
}

}  // namespace vorpel
