// Steps that several command procedures share: the state lock, the
// validated state, the catalogue lookup, the package query and the backup
// line.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/command_error.hpp"
#include "cli/commands/commands.hpp"
#include "cli/commands/package_mode.hpp"
#include "cli/commands/packages.hpp"
#include "core/activation/activation_plan.hpp"
#include "core/activation/managed_snapshot.hpp"
#include "core/activation/plan_application.hpp"
#include "core/storage/atomic_file.hpp"
#include "core/storage/state_lock.hpp"
#include "core/storage/user_state.hpp"

namespace vorpel::commands {

// Takes the state lock beside the state file; it is held until the returned
// handle goes away, which every return road of a command does.
CommandResult<StateLock> take_state_lock(const std::string& state_path);

// load_state, then validate_state; their errors pass through unchanged.
CommandResult<UserState> load_valid_state(const std::string& state_path);

// The catalogue's Profile of `id`, or none.
const Profile* find_profile(const Profiles& profiles, const std::string& id);

// The Profile found for `id`, or "unknown Profile {}".
CommandResult<std::reference_wrapper<const Profile>> require_known_profile(const Profile* found,
                                                                            const std::string& id);

// What `plan` and `select` plan first for an id: a retained Profile from its
// stored record and managed snapshot (the catalogue is not consulted); any
// other from the catalogue, with its content root as source and seed.
struct SelectionTarget {
  bool first_activation = false;
  ProfileState target;
  std::vector<std::string> packages;  // stored set in byte order, or manifest order
  PlanSources sources;
  const Profile* profile = nullptr;  // the catalogue entry at a first activation
};
CommandResult<SelectionTarget> selection_target(const Profiles& profiles, const UserState& state,
                                                const std::string& id, const std::string& state_path);

// The installed set for a package step: queried only when the list is not
// empty, so that a Profile without packages starts no child at all.
CommandResult<PackageSet> installed_packages_for(std::span<const std::string> packages);

// The package step of `select` and `update`. Verify mode: fails while a
// listed package is missing. Install mode, for a non-empty list: refuses
// groups and provided names, records the listed packages that are missing
// in `state` as introduced and saves it before pacman starts (so a tool
// killed meanwhile leaks nothing), runs `sudo pacman -S --needed`, then asks
// pacman again what is installed, whatever the run did, and saves the
// record corrected to exactly the listed packages absent before and present
// now (a listed package still missing is not recorded, whatever the state
// said before). Fails, with that record saved, when pacman failed or ended well
// while a listed package is still missing.
CommandResult<void> bring_in_packages(const std::string& state_path, UserState& state,
                                      std::span<const std::string> packages, PackageMode mode);

// "Backup: {}" when the application made a backup; nothing otherwise.
void print_backup_line(const std::optional<std::string>& backup);

// Saves `state` unless it equals `saved`, what the state file holds.
CommandResult<void> save_if_changed(const std::string& state_path, const UserState& saved, const UserState& state);

// One warning line on standard error per old backup that retention left in
// place: "warning: old backup {} left in place: {}".
void print_kept_backups(const std::vector<KeptBackup>& kept);

// Ends a command that failed after it had changed something the state must
// describe (packages pacman installed, a snapshot swapped in): `recorded`,
// the state as loaded with only those changes, is saved when it differs
// from `loaded`, and `error` is returned; a failure of that save joins it
// as context.
CommandError save_after_failure(const std::string& state_path, const UserState& loaded, const UserState& recorded,
                                CommandError error);

// A save that failed after the new state file took the old one's place:
// the new state stands, and the error says it may not survive a crash.
CommandError state_not_synced(const CoreError& sync_failure);

// `error` with the failed save of the state after it as context: "state
// file not updated after the failure ({})".
CommandError state_not_saved(CommandError error, const CoreError& save_failure);
// The same for a save that may have got as far as its rename: then "state
// file written but not synced after the failure ({})".
CommandError state_not_saved(CommandError error, const ReplaceError& save_failure);

// Puts the previous managed snapshot back after a failure; when that fails
// too, "snapshot not restored ({})" joins `error` as context.
CommandError undo_snapshot_swap(SnapshotSwap& swap, CommandError error);

}  // namespace vorpel::commands
