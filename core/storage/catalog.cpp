#include "core/storage/catalog.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <set>
#include <vector>

#include <fmt/format.h>

#include "core/storage/dir_listing.hpp"
#include "core/storage/file_kind.hpp"
#include "core/storage/manifest.hpp"
#include "core/storage/open_file_limit.hpp"
#include "core/storage/path_text.hpp"
#include "core/storage/system_path.hpp"
#include "core/storage/text_file.hpp"
#include "core/storage/unique_fd.hpp"

namespace vorpel {
namespace {

// Steps 3 to 13 for one Profile directory; the error refuses it.
Result<Profile> load_profile(const std::string& root, const std::string& name, const std::string& manifest_path) {
  if (!is_valid_utf8(name)) return fail("profile directory name is not valid UTF-8");
  const std::string& id = name;
  if (!is_valid_profile_id(id)) return fail(fmt::format("invalid profile id {}", id));

  auto text = io_error_with_path(manifest_path, read_text_file(manifest_path));
  if (!text) return std::unexpected(std::move(text.error()));
  auto manifest = parse_raw_manifest(*text);
  if (!manifest) return std::unexpected(CoreError::toml(manifest_path, std::move(manifest.error())));

  if (manifest->schema != kManifestSchema) {
    return fail(fmt::format("unsupported profile schema {}; expected {}", manifest->schema, kManifestSchema));
  }
  if (is_blank_text(manifest->name)) return fail("profile name cannot be empty");

  const auto content_root = profile_content_root(root, id);
  if (!content_root) return fail("profile root must be below <share>/vorpel/profiles");
  const std::string& c = *content_root;
  struct stat st {};
  if (::lstat(c.c_str(), &st) != 0) return fail_errno(c);
  if (!S_ISDIR(st.st_mode)) {
    return fail(fmt::format("profile content root {} must be a real directory", display_path(c)));
  }
  if (auto tree = validate_content_tree(c); !tree) return std::unexpected(std::move(tree.error()));

  std::vector<std::string> packages;
  std::set<std::string> accepted;
  for (const auto& p : manifest->packages) {
    if (!is_valid_package_name(p)) return fail(fmt::format("invalid package name {}", display_named(p)));
    if (!accepted.insert(p).second) return fail(fmt::format("duplicate package name {}", display_named(p)));
    packages.push_back(p);
  }

  PathSet manage;
  for (const auto& s : manifest->manage) {
    if (!is_clean_relative_path(s)) return fail(fmt::format("invalid managed path {}", display_named(s)));
    if (overlaps_state_directory_path(s)) {
      return fail(fmt::format("managed path {} overlaps Vorpel state", display_named(s)));
    }
    const std::string target = join_path(c, s);
    if (!check_system_path(target) || ::stat(target.c_str(), &st) != 0) {
      return fail(fmt::format("managed path {} does not exist in {}", display_named(s), display_path(c)));
    }
    if (paths_overlap_any(manage, s)) {
      return fail(fmt::format("managed path {} overlaps another managed path", display_named(s)));
    }
    manage.insert(s);
  }

  return Profile{id, std::move(manifest->name), std::move(manifest->description), c, std::move(packages),
                 std::move(manage)};
}

}  // namespace

std::string resolve_profile_root() {
  if (const char* value = std::getenv("VORPEL_PROFILE_ROOT")) return value;
  return std::string(kDefaultProfileRoot);
}

std::optional<std::string> profile_content_root(std::string_view profile_root, std::string_view id) {
  const auto parent = parent_path(profile_root);
  if (!parent) return std::nullopt;
  const auto grandparent = parent_path(*parent);
  if (!grandparent) return std::nullopt;
  return join_path(*grandparent, id);
}

Result<ProfileCatalog> load_profile_catalog(const std::string& profile_root) {
  ProfileCatalog catalog;
  struct stat st {};
  if (::stat(profile_root.c_str(), &st) != 0) return catalog;

  // The whole listing first, so that a failing entry leaves no partial work.
  // Entries of one directory: the order of paths is the byte order of names.
  auto dir = detail::read_directory_at(AT_FDCWD, profile_root.c_str(), detail::FinalLink::Follow);
  if (!dir) return fail_io(profile_root, std::move(dir.error()));
  std::vector<std::string> directories;
  for (const auto& entry : dir->listing.entries()) {
    auto kind = detail::entry_kind(dir->fd(), dir->listing, entry);
    if (!kind) return fail_io(join_path(profile_root, dir->listing.name(entry)), std::move(kind.error()));
    if (*kind == FileKind::Directory) directories.emplace_back(dir->listing.name(entry));
  }
  dir->dir.reset();

  for (const auto& name : directories) {
    const std::string directory = join_path(profile_root, name);
    const std::string manifest = join_path(directory, kManifestFileName);
    if (::stat(manifest.c_str(), &st) != 0) continue;  // not a Profile directory
    auto profile = load_profile(profile_root, name, manifest);
    if (!profile) {
      catalog.rejected.push_back(RejectedProfile{directory, manifest, profile.error().text()});
      continue;
    }
    std::string id = profile->id;
    catalog.profiles.emplace(std::move(id), std::move(*profile));
  }
  return catalog;
}

namespace {

// A directory of the content check: its descriptor for the *at calls, its
// entries in the order the listing yielded them, and where its text ends in
// the walk's path.
struct ContentLevel {
  UniqueFd fd;
  detail::DirListing listing;
  std::size_t next = 0;
  std::size_t path_size = 0;
};

std::expected<FileKind, OsError> entry_status_kind(int dir_fd, const char* name) {
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return std::unexpected(OsError::last());
  return file_kind(st.st_mode);
}

std::expected<ContentLevel, OsError> open_level(UniqueFd fd, std::size_t path_size) {
  ContentLevel level{std::move(fd), {}, 0, path_size};
  if (auto read = level.listing.read(level.fd.get()); !read) return std::unexpected(std::move(read.error()));
  return level;
}

}  // namespace

Status validate_content_tree(const std::string& directory) {
  if (auto checked = check_path_io(directory); !checked) return checked;
  // Entries in listing order, each subdirectory completely before the
  // entries after it. The levels wait in a list on the heap, so any depth
  // costs no native stack; subdirectories are opened through their parent,
  // so no path is resolved twice.
  std::vector<ContentLevel> levels;
  std::string path = directory;
  UniqueFd top(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!top) return fail_errno(directory);
  auto first = open_level(std::move(top), path.size());
  if (!first) return fail_io(path, std::move(first.error()));
  levels.push_back(std::move(*first));
  // The Profile's trees are copied later, holding two descriptors per level
  // where this walk holds one: what the copies could not reach fails here.
  const CopyDepthLimit depth_limit;
  while (!levels.empty()) {
    ContentLevel& level = levels.back();
    const auto& entries = level.listing.entries();
    if (level.next == entries.size()) {
      levels.pop_back();
      continue;
    }
    const bool first_entry = level.next == 0;
    const auto& entry = entries[level.next++];
    path.resize(level.path_size);
    append_path(path, level.listing.name(entry));
    // Each entry's status is what counts, and reading it needs search
    // permission on the directory, which the listing does not: the first
    // entry's status is always read, so a directory that can be listed but
    // not searched fails here. Past it the listing's kinds are as good.
    const auto kind = first_entry ? entry_status_kind(level.fd.get(), level.listing.c_name(entry))
                                  : detail::entry_kind(level.fd.get(), level.listing, entry);
    if (!kind) return fail_io(path, kind.error());
    switch (*kind) {
      case FileKind::Directory: {
        if (auto deep = depth_limit.check(levels.size() + 1, path); !deep) return deep;
        // Known to be a directory, not a link to one; O_NOFOLLOW keeps it so.
        UniqueFd fd(
            ::openat(level.fd.get(), level.listing.c_name(entry), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) return fail_errno(path);
        auto sub = open_level(std::move(fd), path.size());
        if (!sub) return fail_io(path, std::move(sub.error()));
        levels.push_back(std::move(*sub));  // `level` and `entry` may not survive this
        break;
      }
      case FileKind::Regular: break;
      case FileKind::Symlink:
        return fail(fmt::format("profile content may not contain symbolic link {}", display_path(path)));
      case FileKind::Other: return fail(fmt::format("unsupported profile content {}", display_path(path)));
    }
  }
  return {};
}

}  // namespace vorpel
