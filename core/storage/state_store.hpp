// Loading, saving and validating the user state, and small operations on it.
#pragma once

#include <set>
#include <string>

#include "core/storage/atomic_file.hpp"
#include "core/storage/core_error.hpp"
#include "core/storage/profile.hpp"
#include "core/storage/user_state.hpp"

namespace vorpel {

// The default state when the file is absent or unreachable.
Result<UserState> load_state(const std::string& state_path);
Status save_state(const std::string& state_path, const UserState& state);
// save_state, telling a failure after the new file took the old one's place
// (the saved state then stands, unsynced) from one that left the old file.
ReplaceStatus save_state_replacing(const std::string& state_path, const UserState& state);
// Fails where `state`, saved, would be larger than a load accepts: a state
// file the tool cannot read back would shut every later command out.
// Commands test the state they mean to save before they change anything;
// a save refuses such a state too, leaving the file as it was.
Status check_state_fits(const std::string& state_path, const UserState& state);
Status validate_state(const UserState& state);
// Fails with "cannot remove active profile {}"; otherwise tells whether the
// id was retained (and drops it).
Result<bool> forget_profile(UserState& state, const std::string& id);
std::set<std::string> unused_introduced_packages(const UserState& state);
ProfileState profile_state_from_profile(const Profile& profile);
Status check_package_name(std::string_view name);

}  // namespace vorpel
