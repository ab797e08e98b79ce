#include "core/storage/system_path.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "core/storage/path_rules.hpp"

namespace vorpel {

std::expected<void, OsError> check_system_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return std::unexpected(OsError::nul_in_path());
  return {};
}

Status check_path_io(std::string_view path) {
  if (auto checked = check_system_path(path); !checked) return fail_io(path, std::move(checked.error()));
  return {};
}

Status check_path_fits(std::string_view path, std::string_view relative, long name_max) {
  const auto too_long = [&] { return fail_io(path, OsError::from_errno(ENAMETOOLONG)); };
  // PATH_MAX counts the terminating NUL.
  if (path.size() >= PATH_MAX) return too_long();
  for (const PathComponent& c : path_components(relative)) {
    if (c.kind == ComponentKind::Name && static_cast<long>(c.name.size()) > name_max) return too_long();
  }
  return {};
}

long longest_name_at(const std::string& path) {
  std::optional<std::string> at = path;
  while (at && !at->empty()) {
    if (check_system_path(*at)) {
      errno = 0;
      const long got = ::pathconf(at->c_str(), _PC_NAME_MAX);
      if (got > 0) return got;
      if (errno != ENOENT && errno != ENOTDIR) break;
    }
    at = parent_path(*at);
  }
  return NAME_MAX;
}

Status refuse_links_below(const std::string& base, std::string_view relative) {
  if (auto checked = check_path_io(base); !checked) return checked;
  std::string path = base;
  for (const PathComponent& c : path_components(relative)) {
    if (c.kind != ComponentKind::Name) continue;
    append_path(path, c.name);
    if (auto checked = check_path_io(path); !checked) return checked;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return {};
    if (S_ISLNK(st.st_mode)) return fail_io(path, OsError::from_errno(ELOOP));
    if (!S_ISDIR(st.st_mode)) return {};
  }
  return {};
}

}  // namespace vorpel
