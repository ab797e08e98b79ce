// The command procedures the dispatcher calls. Each returns an exit code or a
// CommandError; only the process entry prints the error.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "cli/command_error.hpp"
#include "cli/commands/package_mode.hpp"
#include "core/storage/profile.hpp"

namespace vorpel::commands {

using Profiles = std::map<std::string, Profile>;

CommandResult<int> validate(const std::string& profile_root);

// Loads the catalogue below the profile root; the second form writes one
// "invalid profile {}: {}" warning per rejected entry on standard error.
CommandResult<ProfileCatalog> load_catalog();
CommandResult<ProfileCatalog> load_catalog_reporting_invalid();

CommandResult<int> list(const ProfileCatalog& catalog, const std::string& state_path, bool json);
CommandResult<int> show(const ProfileCatalog& catalog, const std::string& state_path, const std::string& profile,
                        bool json);
CommandResult<int> current(const std::string& state_path, bool json);

CommandResult<void> select_profile(const Profiles& profiles, const std::string& id, const std::string& home,
                                   const std::string& state_path, PackageMode mode);
CommandResult<void> plan_profile(const Profiles& profiles, const std::string& id, const std::string& home,
                                 const std::string& state_path, bool json);
// The id `update` acts on when none was given: the active Profile, read
// without the lock ("no active Profile" when there is none).
CommandResult<std::string> active_profile_for_update(const std::string& state_path);
CommandResult<void> update_profile(const Profiles& profiles, const std::string& id, const std::string& home,
                                   const std::string& state_path);

CommandResult<int> remove(const std::string& state_path, const std::string& profile);
CommandResult<int> prune(const std::string& state_path);

}  // namespace vorpel::commands
