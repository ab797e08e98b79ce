// `update`: refreshes a retained Profile from its current declaration:
// packages, managed snapshot, stored record and, for the active Profile, its
// managed paths in HOME. The state is saved last, under the lock.
#include <fmt/format.h>

#include "cli/commands/command_steps.hpp"
#include "cli/commands/commands.hpp"
#include "cli/commands/packages.hpp"
#include "cli/commands/reports.hpp"
#include "core/activation/activation_plan.hpp"
#include "core/activation/managed_snapshot.hpp"
#include "core/activation/plan_application.hpp"
#include "core/storage/state_store.hpp"

namespace vorpel::commands {

CommandResult<std::string> active_profile_for_update(const std::string& state_path) {
  // Read without the lock and without validation: update_profile loads and
  // checks the state again once it holds the lock.
  auto state = load_state(state_path);
  if (!state) return command_fail(state.error());
  if (!state->active_profile) return command_fail("no active Profile");
  return std::move(*state->active_profile);
}

CommandResult<void> update_profile(const Profiles& profiles, const std::string& id, const std::string& home,
                                   const std::string& state_path) {
  // Held until this function returns, on every road.
  auto lock = take_state_lock(state_path);
  if (!lock) return std::unexpected(std::move(lock.error()));

  auto state = load_valid_state(state_path);
  if (!state) return std::unexpected(std::move(state.error()));
  if (!state->profiles.contains(id)) return command_fail(fmt::format("Profile {} is not retained", id));

  const Profile* profile = find_profile(profiles, id);
  if (profile == nullptr) return command_fail(fmt::format("installed Profile {} is unavailable or invalid", id));
  ProfileState target = profile_state_from_profile(*profile);

  // Tests the content root before any package is touched; never applied.
  auto checked = build_activation_plan(*state, id, target, PlanSources{profile->content_root, std::nullopt}, home,
                                       state_path, true);
  if (!checked) return command_fail(checked.error());
  {
    // The state saved at the end must be one a later command can read.
    UserState next = *state;
    next.profiles[id] = target;
    next.introduced_packages.insert(profile->packages.begin(), profile->packages.end());
    if (auto fits = check_state_fits(state_path, next); !fits) return command_fail(fits.error());
  }
  // The copy into the snapshot reads what that plan does not.
  if (auto readable = check_source_trees(profile->content_root, target.manage); !readable) {
    return command_fail(readable.error());
  }

  // The snapshot's place is checked before any package is touched too.
  auto snapshot = managed_snapshot_dir(state_path, id);
  if (!snapshot) return command_fail(snapshot.error());
  if (auto room = check_snapshot_room(*snapshot, target.manage); !room) return command_fail(room.error());
  // So is what the application would refuse in HOME.
  if (auto refused = check_activation_plan(*checked, home, state_path); !refused) return command_fail(refused.error());

  // What pacman installed is recorded in the state file by now, also when
  // this fails or a later step does.
  if (auto brought = bring_in_packages(state_path, *state, profile->packages, PackageMode::Install); !brought) {
    return std::unexpected(std::move(brought.error()));
  }
  const UserState loaded = *state;
  const auto failed = [&](const CoreError& error) { return std::unexpected(CommandError::from(error)); };

  auto replaced = replace_managed_snapshot(*profile, *snapshot);
  if (!replaced) return failed(replaced.error());
  SnapshotSwap& swap = *replaced;
  // The new snapshot is in place, so the entry it was built from is stored
  // with it whatever fails later. Only when that cannot be saved does the
  // old snapshot go back, to match the old entry.
  state->profiles[id] = std::move(target);
  const auto failed_swapped = [&](CommandError error, bool save_failed) {
    if (!save_failed) {
      auto saved = save_state_replacing(state_path, *state);
      if (saved || saved.error().renamed) {
        swap.keep();
        if (!saved) error = state_not_saved(std::move(error), saved.error());
        return std::unexpected(std::move(error));
      }
      error = state_not_saved(std::move(error), saved.error().error);
    }
    return std::unexpected(undo_snapshot_swap(swap, std::move(error)));
  };

  // In place: for the active Profile its old managed paths give way to the
  // new ones; for any other the plan is empty and HOME is left alone. The
  // plan reads the old entry, whose paths are given up.
  auto plan = build_activation_plan(loaded, id, state->profiles[id], PlanSources{*snapshot, std::nullopt}, home,
                                    state_path, true);
  if (!plan) return failed_swapped(CommandError::from(plan.error()), false);
  // What a failure leaves in the backup is named before the error line.
  auto applied = apply_activation_plan(*plan, home, state_path);
  if (!applied) {
    print_backup_line(applied.error().backup);
    return failed_swapped(CommandError::from(applied.error().error), false);
  }

  auto saved = save_state_replacing(state_path, *state);
  if (!saved) {
    // HOME is updated: the failure must not hide where its backup is.
    print_backup_line(applied->backup);
    if (!saved.error().renamed) return failed_swapped(CommandError::from(saved.error().error), true);
  }
  // The new state stands with the new snapshot, synced or not.
  swap.keep();
  if (!saved) return std::unexpected(state_not_synced(saved.error().error));

  print_backup_line(applied->backup);
  print_kept_backups(applied->kept);
  const bool active = state->active_profile == id;
  write_stdout(fmt::format("{} Profile {} was updated.\n", active ? "Active" : "Retained", id));
  return {};
}

}  // namespace vorpel::commands
