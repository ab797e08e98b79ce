#include "core/activation/managed_snapshot.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/activation/file_tree.hpp"
#include "core/storage/directories.hpp"
#include "core/storage/path_rules.hpp"
#include "core/storage/system_path.hpp"

namespace vorpel {

namespace {

// The new snapshot is built here, beside the one in use; after an exchange
// the replaced one waits here until the swap is settled.
std::string building_name(const std::string& name) { return name + ".swap"; }
// Where the replaced snapshot waits on a file system that cannot exchange
// two names in one rename.
std::string previous_name(const std::string& name) { return name + ".old"; }

// Fails at a symbolic link at "profiles", at the Profile's directory or at
// the snapshot itself: the three names below the state directory.
Status refuse_snapshot_links(const std::string& snapshot_dir) {
  const auto profile_dir = parent_path(snapshot_dir);
  const auto profiles = profile_dir ? parent_path(*profile_dir) : std::nullopt;
  const auto state_dir = profiles ? parent_path(*profiles) : std::nullopt;
  if (!state_dir) return {};
  const auto relative = strip_path_prefix(snapshot_dir, *state_dir);
  if (!relative) return {};
  return refuse_links_below(*state_dir, *relative);
}

bool exists_at(int dir, const std::string& name) {
  struct stat st {};
  return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// Exchanges two names of one directory in a single step.
bool exchange_at(int dir, const std::string& a, const std::string& b) {
  return ::renameat2(dir, a.c_str(), dir, b.c_str(), RENAME_EXCHANGE) == 0;
}

bool exchange_unsupported() { return errno == EINVAL || errno == ENOSYS || errno == ENOTSUP; }

// A swap by two renames cut off between them leaves the replaced snapshot
// beside a missing one: it goes back, matching the state, which was not
// saved before the swap was complete.
Status restore_at(int dir, const std::string& name, const std::string& snapshot_dir) {
  const std::string previous = previous_name(name);
  if (exists_at(dir, name) || !exists_at(dir, previous)) return {};
  if (::renameat(dir, previous.c_str(), dir, name.c_str()) != 0) return fail_errno(snapshot_dir);
  return {};
}

}  // namespace

Status restore_interrupted_swap(const std::string& snapshot_dir) {
  const auto profile_dir = parent_path(snapshot_dir);
  const auto name = file_name(snapshot_dir);
  if (!profile_dir || !name) return fail("state path has no parent");
  if (auto checked = refuse_snapshot_links(snapshot_dir); !checked) return checked;
  const UniqueFd dir(::open(profile_dir->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir) return errno == ENOENT ? Status{} : fail_errno(*profile_dir);
  return restore_at(dir.get(), std::string(*name), snapshot_dir);
}

Result<std::string> managed_snapshot_dir(const std::string& state_path, const std::string& id) {
  const auto state_dir = parent_path(state_path);
  if (!state_dir) return fail("state path has no parent");
  const std::string relative = join_path(join_path("profiles", id), "managed");
  if (auto checked = refuse_links_below(*state_dir, relative); !checked) return std::unexpected(checked.error());
  return join_path(*state_dir, relative);
}

Status check_snapshot_room(const std::string& snapshot_dir, const PathSet& manage) {
  const std::string building = building_name(snapshot_dir);  // the longest name a copy goes to
  const long name_max = longest_name_at(snapshot_dir);
  for (const auto& managed : manage) {
    if (auto fits = check_path_fits(join_path(building, managed), managed, name_max); !fits) return fits;
  }
  return {};
}

void SnapshotSwap::keep() {
  if (settled_) return;
  settled_ = true;
  if (aside_.empty()) return;
  const auto profile_dir = parent_path(snapshot_dir_);
  if (profile_dir) (void)remove_path(join_path(*profile_dir, aside_));
}

Status SnapshotSwap::undo() {
  if (settled_) return {};
  settled_ = true;
  const auto profile_dir = parent_path(snapshot_dir_);
  if (!profile_dir) return fail("state path has no parent");
  if (aside_.empty()) {
    // There was no snapshot before: the new one goes, and the Profile's
    // directory too when nothing else is in it.
    if (auto removed = remove_path(snapshot_dir_); !removed) return removed;
    (void)::rmdir(profile_dir->c_str());
    return {};
  }
  const std::string building = building_name(name_);
  if (aside_ == building) {
    if (!exchange_at(dir_.get(), building, name_)) return fail_errno(snapshot_dir_);
  } else {
    if (::renameat(dir_.get(), name_.c_str(), dir_.get(), building.c_str()) != 0) return fail_errno(snapshot_dir_);
    if (::renameat(dir_.get(), aside_.c_str(), dir_.get(), name_.c_str()) != 0) return fail_errno(snapshot_dir_);
  }
  (void)remove_path(join_path(*profile_dir, building));
  return {};
}

Result<SnapshotSwap> replace_managed_snapshot(const Profile& profile, const std::string& snapshot_dir) {
  const auto profile_dir = parent_path(snapshot_dir);
  const auto name = file_name(snapshot_dir);
  if (!profile_dir || !name) return fail("state path has no parent");
  if (auto checked = refuse_snapshot_links(snapshot_dir); !checked) return std::unexpected(checked.error());
  if (auto made = create_directories(*profile_dir); !made) return fail_io(snapshot_dir, std::move(made.error()));
  UniqueFd dir(::open(profile_dir->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir) return fail_errno(*profile_dir);

  // Whatever an interrupted build left behind goes first, once a snapshot
  // it had put aside is back.
  const std::string snapshot_name(*name);
  if (auto restored = restore_at(dir.get(), snapshot_name, snapshot_dir); !restored) {
    return std::unexpected(restored.error());
  }
  const std::string building = building_name(snapshot_name);
  const std::string previous = previous_name(snapshot_name);
  const std::string building_path = join_path(*profile_dir, building);
  for (const std::string& leftover : {building, previous}) {
    if (auto removed = remove_path(join_path(*profile_dir, leftover)); !removed) return std::unexpected(removed.error());
  }

  if (::mkdirat(dir.get(), building.c_str(), 0777) != 0) return fail_errno(building_path);
  const auto discard_build = [&](CoreError error) -> Result<SnapshotSwap> {
    (void)remove_path(building_path);
    // At a first snapshot the Profile's directory was made for it: an
    // empty one would outlive the failure for nothing.
    (void)::rmdir(profile_dir->c_str());
    return std::unexpected(std::move(error));
  };
  for (const auto& managed : profile.manage) {
    auto copied = copy_profile_content(join_path(profile.content_root, managed), join_path(building_path, managed));
    if (!copied) return discard_build(std::move(copied.error()));
  }

  // Complete: swap it in.
  std::string aside;
  if (!exists_at(dir.get(), snapshot_name)) {
    if (::renameat(dir.get(), building.c_str(), dir.get(), snapshot_name.c_str()) != 0) {
      return discard_build(core_io_error(snapshot_dir, OsError::last()));
    }
  } else if (exchange_at(dir.get(), building, snapshot_name)) {
    aside = building;
  } else if (!exchange_unsupported()) {
    return discard_build(core_io_error(snapshot_dir, OsError::last()));
  } else {
    // Two renames: a crash between them leaves no snapshot but the old one
    // beside it, which the next select or update puts back.
    if (::renameat(dir.get(), snapshot_name.c_str(), dir.get(), previous.c_str()) != 0) {
      return discard_build(core_io_error(snapshot_dir, OsError::last()));
    }
    if (::renameat(dir.get(), building.c_str(), dir.get(), snapshot_name.c_str()) != 0) {
      const OsError error = OsError::last();
      (void)::renameat(dir.get(), previous.c_str(), dir.get(), snapshot_name.c_str());
      return discard_build(core_io_error(snapshot_dir, error));
    }
    aside = previous;
  }
  return SnapshotSwap(std::move(dir), snapshot_dir, snapshot_name, std::move(aside));
}

Status refresh_managed_snapshot(const Profile& profile, const std::string& snapshot_dir) {
  auto swap = replace_managed_snapshot(profile, snapshot_dir);
  if (!swap) return std::unexpected(std::move(swap.error()));
  swap->keep();
  return {};
}

}  // namespace vorpel
