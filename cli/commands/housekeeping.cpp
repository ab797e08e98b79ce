// `remove` and `prune`: the state-changing commands that leave HOME alone.
// Both hold the state lock throughout and save the state once, before
// their success line.
#include <fmt/format.h>

#include "cli/commands/command_steps.hpp"
#include "cli/commands/commands.hpp"
#include "cli/commands/packages.hpp"
#include "cli/commands/reports.hpp"
#include "core/activation/file_tree.hpp"
#include "core/storage/path_rules.hpp"
#include "core/storage/state_store.hpp"
#include "core/storage/system_path.hpp"

namespace vorpel::commands {

namespace {

// Deletes a forgotten Profile's own directory below "profiles": a link in
// its place is removed itself, while a link at "profiles" is refused rather
// than followed. A directory that is already gone counts as deleted; any
// other failure is reported as the bare operating-system error.
CommandResult<void> delete_profile_directory(const std::string& state_dir, const std::string& directory) {
  auto removed = refuse_links_below(state_dir, "profiles");
  if (removed) removed = remove_path(directory);
  if (removed) return {};
  if (const auto* io = removed.error().as_io()) return std::unexpected(CommandError::from(io->source));
  return command_fail(removed.error());
}

// Packages that retained Profiles declare and that pacman holds as mere
// dependencies would go with a removed package that pulled them in (the
// "s" of -Rns); marked as explicitly installed, they stay.
CommandResult<void> protect_declared_dependencies(const UserState& state) {
  PackageSet declared;
  for (const auto& [id, entry] : state.profiles) declared.insert(entry.packages.begin(), entry.packages.end());
  if (declared.empty()) return {};
  auto dependencies = query_dependency_packages();
  if (!dependencies) return std::unexpected(std::move(dependencies.error()));
  const auto to_mark = installed_prune_candidates(declared, *dependencies);
  if (to_mark.empty()) return {};
  return run_sudo_pacman(PACMAN_MARK_EXPLICIT_ARGS, to_mark);
}

}  // namespace

CommandResult<int> remove(const std::string& state_path, const std::string& profile) {
  auto lock = take_state_lock(state_path);
  if (!lock) return std::unexpected(std::move(lock.error()));

  auto state = load_valid_state(state_path);
  if (!state) return std::unexpected(std::move(state.error()));

  auto forgotten = forget_profile(*state, profile);
  if (!forgotten) return command_fail(forgotten.error());
  if (!*forgotten) return command_fail(fmt::format("Profile {} is not retained", profile));

  const auto state_dir = parent_path(state_path);
  if (!state_dir) return command_fail("state path has no parent");
  const std::string directory = join_path(join_path(*state_dir, "profiles"), profile);
  if (auto deleted = delete_profile_directory(*state_dir, directory); !deleted) {
    return std::unexpected(std::move(deleted.error()));
  }

  if (auto saved = save_state(state_path, *state); !saved) return command_fail(saved.error());
  write_stdout(fmt::format("Profile {} was forgotten. Run vorpel prune to remove unused packages.\n", profile));
  return 0;
}

CommandResult<int> prune(const std::string& state_path) {
  auto lock = take_state_lock(state_path);
  if (!lock) return std::unexpected(std::move(lock.error()));

  auto state = load_valid_state(state_path);
  if (!state) return std::unexpected(std::move(state.error()));

  const PackageSet candidates = unused_introduced_packages(*state);
  if (candidates.empty()) {
    // Nothing to change, so nothing is saved.
    write_stdout("No packages are eligible for Vorpel prune.\n");
    return 0;
  }

  auto installed = query_installed_packages();
  if (!installed) return std::unexpected(std::move(installed.error()));
  const auto to_remove = installed_prune_candidates(candidates, *installed);
  if (!to_remove.empty()) {
    if (auto kept = protect_declared_dependencies(*state); !kept) return std::unexpected(std::move(kept.error()));
    if (auto ran = run_sudo_pacman(PACMAN_PRUNE_ARGS, to_remove); !ran) return std::unexpected(std::move(ran.error()));
  }

  // Candidates that were no longer installed are stale records; they go too.
  for (const auto& name : candidates) state->introduced_packages.erase(name);
  if (auto saved = save_state(state_path, *state); !saved) return command_fail(saved.error());

  write_stdout(to_remove.empty() ? "Removed stale Vorpel package records; no installed packages required pruning.\n"
                                 : "Unused Vorpel packages were pruned.\n");
  return 0;
}

}  // namespace vorpel::commands
