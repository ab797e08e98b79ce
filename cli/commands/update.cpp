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
  if (auto checked = build_activation_plan(*state, id, target, PlanSources{profile->content_root, std::nullopt}, home,
                                           state_path, true);
      !checked) {
    return command_fail(checked.error());
  }

  auto installed = installed_packages_for(profile->packages);
  if (!installed) return std::unexpected(std::move(installed.error()));
  auto introduced = install_packages(profile->packages, *installed);
  if (!introduced) return std::unexpected(std::move(introduced.error()));
  state->introduced_packages.insert(introduced->begin(), introduced->end());

  auto snapshot = managed_snapshot_dir(state_path, id);
  if (!snapshot) return command_fail(snapshot.error());
  if (auto refreshed = refresh_managed_snapshot(*profile, *snapshot); !refreshed) {
    return command_fail(refreshed.error());
  }

  // In place: for the active Profile its old managed paths give way to the
  // new ones; for any other the plan is empty and HOME is left alone.
  auto plan = build_activation_plan(*state, id, target, PlanSources{*snapshot, std::nullopt}, home, state_path, true);
  if (!plan) return command_fail(plan.error());
  auto backup = apply_activation_plan(*plan, home, state_path);
  if (!backup) return command_fail(backup.error());

  state->profiles[id] = std::move(target);
  if (auto saved = save_state(state_path, *state); !saved) return command_fail(saved.error());

  print_backup_line(*backup);
  const bool active = state->active_profile == id;
  write_stdout(fmt::format("{} Profile {} was updated.\n", active ? "Active" : "Retained", id));
  return {};
}

}  // namespace vorpel::commands
