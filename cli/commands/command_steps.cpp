#include "cli/commands/command_steps.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "cli/commands/reports.hpp"
#include "core/storage/path_text.hpp"
#include "core/storage/state_store.hpp"

namespace vorpel::commands {

CommandResult<StateLock> take_state_lock(const std::string& state_path) {
  auto lock_path = lock_file_path(state_path);
  if (!lock_path) return command_fail(lock_path.error());
  auto lock = open_state_lock(*lock_path);
  if (!lock) return command_fail(lock.error());
  return std::move(*lock);
}

CommandResult<UserState> load_valid_state(const std::string& state_path) {
  auto state = load_state(state_path);
  if (!state) return command_fail(state.error());
  if (auto valid = validate_state(*state); !valid) return command_fail(valid.error());
  return std::move(*state);
}

const Profile* find_profile(const Profiles& profiles, const std::string& id) {
  const auto it = profiles.find(id);
  return it == profiles.end() ? nullptr : &it->second;
}

CommandResult<std::reference_wrapper<const Profile>> require_known_profile(const Profile* found,
                                                                            const std::string& id) {
  if (found == nullptr) return command_fail(fmt::format("unknown Profile {}", id));
  return std::cref(*found);
}

CommandResult<SelectionTarget> selection_target(const Profiles& profiles, const UserState& state,
                                                const std::string& id, const std::string& state_path) {
  SelectionTarget out;
  const auto retained = state.profiles.find(id);
  out.first_activation = retained == state.profiles.end();
  if (!out.first_activation) {
    out.target = retained->second;
    out.packages.assign(out.target.packages.begin(), out.target.packages.end());
    auto snapshot = managed_snapshot_dir(state_path, id);
    if (!snapshot) return command_fail(snapshot.error());
    out.sources.source = std::move(*snapshot);
    return out;
  }
  auto known = require_known_profile(find_profile(profiles, id), id);
  if (!known) return std::unexpected(std::move(known.error()));
  out.profile = &known->get();
  out.target = profile_state_from_profile(*out.profile);
  out.packages = out.profile->packages;
  out.sources.source = out.profile->content_root;
  out.sources.seed = out.profile->content_root;
  return out;
}

CommandResult<PackageSet> installed_packages_for(std::span<const std::string> packages) {
  if (packages.empty()) return PackageSet{};
  return query_installed_packages();
}

CommandResult<void> bring_in_packages(const std::string& state_path, UserState& state,
                                      std::span<const std::string> packages, PackageMode mode) {
  auto installed = installed_packages_for(packages);
  if (!installed) return std::unexpected(std::move(installed.error()));
  if (mode == PackageMode::Verify) return verify_packages(packages, *installed);
  if (packages.empty()) return {};

  const PackageSet absent = packages_not_in_set(packages, *installed);
  if (auto checked = refuse_non_package_names(missing_packages(packages, *installed)); !checked) return checked;

  // Recorded before pacman starts: if the tool dies while pacman runs, a
  // package pacman installed is still the tool's to prune, and a record of
  // one it did not install is dropped as stale by the next prune.
  const UserState before = state;
  state.introduced_packages.insert(absent.begin(), absent.end());
  if (auto saved = save_if_changed(state_path, before, state); !saved) {
    state = before;
    return saved;
  }
  const UserState presaved = state;

  auto ran = run_sudo_pacman(PACMAN_INSTALL_ARGS, packages);
  // pacman may have installed some of the packages whether it failed, was
  // interrupted or ended well, so only a new query tells what to record.
  auto after = query_installed_packages();
  if (!after) {
    // The record saved beforehand stays: at worst it names a package that
    // is not installed, which the next prune drops.
    return std::unexpected(ran ? std::move(after.error()) : std::move(ran.error()));
  }
  // A declared package still missing is not installed, so an earlier record
  // of it (a tool killed while pacman ran leaves one) is stale and goes.
  state.introduced_packages = before.introduced_packages;
  for (const auto& name : absent) {
    if (after->contains(name)) {
      state.introduced_packages.insert(name);
    } else {
      state.introduced_packages.erase(name);
    }
  }
  if (!ran) return std::unexpected(save_after_failure(state_path, presaved, state, std::move(ran.error())));
  if (const auto missing = missing_packages(packages, *after); !missing.empty()) {
    return std::unexpected(save_after_failure(
        state_path, presaved, state,
        CommandError::message(fmt::format("pacman installation succeeded but Profile packages are not installed: {}",
                                          fmt::join(missing, ", ")))));
  }
  return save_if_changed(state_path, presaved, state);
}

void print_backup_line(const std::optional<std::string>& backup) {
  // The only way to find the user's files again: never lost with stdout.
  if (backup) write_stdout_or_stderr(fmt::format("Backup: {}\n", display_path(*backup)));
}

CommandResult<void> save_if_changed(const std::string& state_path, const UserState& saved, const UserState& state) {
  if (state == saved) return {};
  if (auto written = save_state(state_path, state); !written) return command_fail(written.error());
  return {};
}

void print_kept_backups(const std::vector<KeptBackup>& kept) {
  for (const auto& old : kept) {
    write_stderr(fmt::format("warning: old backup {} left in place: {}\n", display_path(old.path),
                             CommandError::from(old.error).display()));
  }
}

CommandError save_after_failure(const std::string& state_path, const UserState& loaded, const UserState& recorded,
                                CommandError error) {
  if (recorded == loaded) return error;
  auto saved = save_state_replacing(state_path, recorded);
  if (saved) return error;
  return state_not_saved(std::move(error), saved.error());
}

CommandError state_not_saved(CommandError error, const ReplaceError& save_failure) {
  if (!save_failure.renamed) return state_not_saved(std::move(error), save_failure.error);
  return std::move(error).context(fmt::format("state file written but not synced after the failure ({})",
                                              CommandError::from(save_failure.error).display()));
}

CommandError state_not_synced(const CoreError& sync_failure) {
  return CommandError::from(sync_failure).context("state file written but not synced");
}

CommandError state_not_saved(CommandError error, const CoreError& save_failure) {
  return std::move(error).context(
      fmt::format("state file not updated after the failure ({})", CommandError::from(save_failure).display()));
}

CommandError undo_snapshot_swap(SnapshotSwap& swap, CommandError error) {
  auto undone = swap.undo();
  if (undone) return error;
  return std::move(error).context(
      fmt::format("snapshot not restored ({})", CommandError::from(undone.error()).display()));
}

}  // namespace vorpel::commands
