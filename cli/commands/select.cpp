// `select`: makes a Profile the active one. Under the state lock it plans,
// brings the packages in, (at a first activation) takes the managed
// snapshot, switches HOME and, only after all of that, saves the state.
#include <optional>

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

CommandResult<void> select_profile(const Profiles& profiles, const std::string& id, const std::string& home,
                                   const std::string& state_path, PackageMode mode) {
  // Held until this function returns, on every road.
  auto lock = take_state_lock(state_path);
  if (!lock) return std::unexpected(std::move(lock.error()));

  auto state = load_valid_state(state_path);
  if (!state) return std::unexpected(std::move(state.error()));
  if (state->profiles.contains(id)) {
    // A retained Profile is planned from its snapshot, which an interrupted
    // replacement may have left aside.
    auto dir = managed_snapshot_dir(state_path, id);
    if (!dir) return command_fail(dir.error());
    if (auto restored = restore_interrupted_swap(*dir); !restored) return command_fail(restored.error());
  }

  // A retained Profile is re-applied from its snapshot and stored record,
  // without the catalogue. A first activation plans from the content root
  // only to find every planning fault before any package is touched.
  auto chosen = selection_target(profiles, *state, id, state_path);
  if (!chosen) return std::unexpected(std::move(chosen.error()));
  auto& [first_activation, target, packages, sources, profile] = *chosen;
  auto plan = build_activation_plan(*state, id, target, sources, home, state_path, false);
  if (!plan) return command_fail(plan.error());
  {
    // The state saved at the end must be one a later command can read.
    UserState next = *state;
    next.profiles[id] = target;
    next.active_profile = id;
    next.introduced_packages.insert(packages.begin(), packages.end());
    if (auto fits = check_state_fits(state_path, next); !fits) return command_fail(fits.error());
  }

  // A first activation's snapshot place is checked before any package is
  // touched too.
  std::string snapshot;
  if (first_activation) {
    auto dir = managed_snapshot_dir(state_path, id);
    if (!dir) return command_fail(dir.error());
    snapshot = std::move(*dir);
    if (auto room = check_snapshot_room(snapshot, target.manage); !room) return command_fail(room.error());
  }
  // What the application would refuse in HOME is refused before packages
  // or the snapshot change as well. A retained Profile without packages
  // changes nothing before its application, which checks the same itself.
  if (first_activation || !packages.empty()) {
    if (auto checked = check_activation_plan(*plan, home, state_path); !checked) return command_fail(checked.error());
  }

  // What pacman installed is recorded in the state file by now, also when
  // this fails or a later step does.
  if (auto brought = bring_in_packages(state_path, *state, packages, mode); !brought) {
    return std::unexpected(std::move(brought.error()));
  }

  // A first activation's new snapshot goes again on failure: the Profile
  // stays unretained, and selecting it later is a first activation again.
  std::optional<SnapshotSwap> swap;
  const auto failed = [&](CommandError error) {
    if (swap) error = undo_snapshot_swap(*swap, std::move(error));
    return std::unexpected(std::move(error));
  };

  if (first_activation) {
    auto replaced = replace_managed_snapshot(*profile, snapshot);
    if (!replaced) return failed(CommandError::from(replaced.error()));
    swap.emplace(std::move(*replaced));
    // The managed paths now come from the fresh snapshot; the content
    // root's other files are written this once.
    plan = build_activation_plan(*state, id, target, PlanSources{snapshot, profile->content_root}, home,
                                 state_path, false);
    if (!plan) return failed(CommandError::from(plan.error()));
  }

  // What a failure leaves in the backup is named before the error line.
  auto applied = apply_activation_plan(*plan, home, state_path);
  if (!applied) {
    print_backup_line(applied.error().backup);
    return failed(CommandError::from(applied.error().error));
  }

  state->profiles[id] = std::move(target);
  state->active_profile = id;
  auto saved = save_state_replacing(state_path, *state);
  // Once the new state stands, it retains the snapshot taken for it.
  if (saved || saved.error().renamed) {
    if (swap) swap->keep();
  }
  if (!saved) {
    // HOME is switched: the failure must not hide where its backup is.
    print_backup_line(applied->backup);
    if (saved.error().renamed) return std::unexpected(state_not_synced(saved.error().error));
    return failed(CommandError::from(saved.error().error));
  }

  print_backup_line(applied->backup);
  print_kept_backups(applied->kept);
  write_stdout(fmt::format("Profile {} is active.\n", id));
  return {};
}

}  // namespace vorpel::commands
