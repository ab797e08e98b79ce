// `remove` and `prune`: the state-changing commands that leave HOME alone.
// Both hold the state lock throughout and save the state once, before
// their success line.
#include <map>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

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

// Which of the installed candidates pacman can remove, from dry runs: a
// candidate that a package staying installed still requires makes pacman
// refuse the whole removal, so it is kept (with those packages) and the rest
// are tried again, until pacman would accept. Each round keeps at least one
// more candidate, so there are at most as many rounds as candidates.
struct PrunePlan {
  std::vector<std::string> targets;  // the candidates to remove, byte order
  PackageSet removed;                // what pacman would remove with them
  std::map<std::string, PackageSet> kept;
};
CommandResult<PrunePlan> plan_prune(std::vector<std::string> targets) {
  PrunePlan plan;
  while (!targets.empty()) {
    auto check = check_removal(targets);
    if (!check) return std::unexpected(std::move(check.error()));
    if (check->refused.empty()) {
      plan.removed = std::move(check->removed);
      break;
    }
    std::erase_if(targets, [&](const std::string& name) { return check->refused.contains(name); });
    plan.kept.merge(check->refused);
  }
  plan.targets = std::move(targets);
  return plan;
}

// The packages that retained Profiles declare and that the removal would
// take along as dependencies nothing else needs (the "s" of -Rns).
std::vector<std::string> declared_among(const UserState& state, const PackageSet& removed) {
  PackageSet declared;
  for (const auto& [id, entry] : state.profiles) {
    for (const auto& name : entry.packages) {
      if (removed.contains(name)) declared.insert(name);
    }
  }
  return {declared.begin(), declared.end()};
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
  auto plan = plan_prune(installed_prune_candidates(candidates, *installed));
  if (!plan) return std::unexpected(std::move(plan.error()));

  const UserState loaded = *state;
  if (!plan->targets.empty()) {
    // Marked just before the removal and recorded before pacman runs, like
    // an installation: a package marked this way is the tool's own from now
    // on, so the prune after the last Profile declaring it is forgotten
    // removes it.
    const auto to_mark = declared_among(*state, plan->removed);
    if (!to_mark.empty()) {
      state->introduced_packages.insert(to_mark.begin(), to_mark.end());
      if (auto saved = save_if_changed(state_path, loaded, *state); !saved) {
        return std::unexpected(std::move(saved.error()));
      }
      if (auto marked = run_sudo_pacman(PACMAN_MARK_EXPLICIT_ARGS, to_mark); !marked) {
        return std::unexpected(std::move(marked.error()));
      }
    }
    if (auto ran = run_sudo_pacman(PACMAN_PRUNE_ARGS, plan->targets); !ran) {
      return std::unexpected(std::move(ran.error()));
    }
  }

  // Kept candidates stay recorded; candidates that were no longer installed
  // are stale records and go too.
  for (const auto& name : candidates) {
    if (!plan->kept.contains(name)) state->introduced_packages.erase(name);
  }
  if (auto saved = save_state(state_path, *state); !saved) return command_fail(saved.error());

  for (const auto& [name, by] : plan->kept) {
    write_stdout(fmt::format("Kept {}: still required by {}.\n", name, fmt::join(by, ", ")));
  }
  if (!plan->targets.empty()) {
    write_stdout("Unused Vorpel packages were pruned.\n");
  } else if (!plan->kept.empty()) {
    write_stdout("No unused Vorpel packages could be pruned.\n");
  } else {
    write_stdout("Removed stale Vorpel package records; no installed packages required pruning.\n");
  }
  return 0;
}

}  // namespace vorpel::commands
