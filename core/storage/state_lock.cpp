#include "core/storage/state_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>

#include "core/storage/directories.hpp"
#include "core/storage/path_rules.hpp"
#include "core/storage/state_location.hpp"
#include "core/storage/system_path.hpp"

namespace vorpel {

Result<std::string> lock_file_path(const std::string& state_path) {
  auto dir = state_directory(state_path);
  if (!dir) return std::unexpected(std::move(dir.error()));
  return join_path(*dir, "lock");
}

Result<StateLock> open_state_lock(const std::string& lock_path) {
  if (auto checked = check_path_io(lock_path); !checked) return std::unexpected(std::move(checked.error()));
  if (const auto parent = parent_path(lock_path)) {
    // Made private again at every call, whatever its mode was.
    const std::string dir = parent->empty() ? std::string(".") : *parent;
    if (auto made = make_private_directory(dir); !made) return std::unexpected(std::move(made.error()));
  }
  // Close-on-exec: the sudo and pacman runs made under the lock must not
  // carry it. No following: a link at "lock" would have the mode change (or,
  // dangling, the creation) land on a file elsewhere.
  UniqueFd fd(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
  if (!fd) return fail_errno(lock_path);
  if (::fchmod(fd.get(), 0600) != 0) return fail_errno(lock_path);
  if (auto locked = lock_file_exclusive(fd.get()); !locked) return fail_io(lock_path, locked.error());
  return StateLock(std::move(fd));
}

// One blocking request, no retry: whatever ends the wait without the lock
// (an interrupting signal included) is the caller's failure.
std::expected<void, OsError> lock_file_exclusive(int fd) {
  if (::flock(fd, LOCK_EX) != 0) return std::unexpected(OsError::last());
  return {};
}

}  // namespace vorpel
