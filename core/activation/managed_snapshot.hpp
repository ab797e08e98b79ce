// The private copy of a retained Profile's managed paths that later
// activations are planned from.
#pragma once

#include <string>

#include "core/storage/core_error.hpp"
#include "core/storage/path_rules.hpp"
#include "core/storage/profile.hpp"
#include "core/storage/unique_fd.hpp"

namespace vorpel {

// <state directory>/profiles/<id>/managed. Fails with an `Io` error when
// "profiles", the id's directory or "managed" is a symbolic link, so that
// nothing reading, writing or planning from a snapshot leaves the state
// directory; nothing is created.
Result<std::string> managed_snapshot_dir(const std::string& state_path, const std::string& id);

// Puts back a snapshot that a replacement interrupted between its two
// renames had moved aside, leaving none in its place; changes nothing
// otherwise. replace_managed_snapshot does this first too.
Status restore_interrupted_swap(const std::string& snapshot_dir);

// Fails with the `Io` error a copy into the snapshot would end with for a
// managed path whose place there is longer than the system takes.
Status check_snapshot_room(const std::string& snapshot_dir, const PathSet& manage);

// A new snapshot put in place by replace_managed_snapshot. The snapshot it
// replaced waits beside it until the command knows whether the state that
// describes the new one was saved: keep() then drops the old one, undo()
// puts it back (or, when there was none, removes the new one), so that the
// snapshot always matches the stored entry.
class SnapshotSwap {
 public:
  // Drops the replaced snapshot. What cannot be removed now is removed by
  // the next replacement.
  void keep();
  // Puts the replaced snapshot back in place.
  Status undo();

 private:
  friend Result<SnapshotSwap> replace_managed_snapshot(const Profile& profile, const std::string& snapshot_dir);
  SnapshotSwap(UniqueFd profile_dir, std::string snapshot_dir, std::string name, std::string aside)
      : dir_(std::move(profile_dir)), snapshot_dir_(std::move(snapshot_dir)), name_(std::move(name)),
        aside_(std::move(aside)) {}

  UniqueFd dir_;  // the Profile's directory, the snapshot's parent
  std::string snapshot_dir_;
  std::string name_;   // the snapshot's name in dir_
  std::string aside_;  // where the replaced snapshot waits in dir_; empty: there was none
  bool settled_ = false;
};

// Builds a fresh copy of the Profile's managed paths from its content root
// beside the snapshot directory and swaps it in with renames only once it
// is complete. On failure the previous snapshot is untouched. Leftovers of
// an interrupted build are removed first.
Result<SnapshotSwap> replace_managed_snapshot(const Profile& profile, const std::string& snapshot_dir);

// replace_managed_snapshot, then keep().
Status refresh_managed_snapshot(const Profile& profile, const std::string& snapshot_dir);

}  // namespace vorpel
