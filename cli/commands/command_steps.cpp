#include "cli/commands/command_steps.hpp"

#include <fmt/format.h>

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

void print_backup_line(const std::optional<std::string>& backup) {
  if (backup) write_stdout(fmt::format("Backup: {}\n", display_path(*backup)));
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
  auto saved = save_state(state_path, recorded);
  if (saved) return error;
  return state_not_saved(std::move(error), saved.error());
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
