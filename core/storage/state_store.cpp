#include "core/storage/state_store.hpp"

#include <fmt/format.h>

#include "core/storage/atomic_file.hpp"
#include "core/storage/path_rules.hpp"
#include "core/storage/path_text.hpp"

namespace vorpel {

Status save_state(const std::string& state_path, const UserState& state) {
  auto text = serialize_user_state(state);
  if (!text) return fail(std::move(text.error()));
  return write_file_atomically(state_path, *text);
}

Status validate_state(const UserState& state) {
  if (state.schema != kStateSchema) return fail("invalid user state schema");
  if (state.active_profile && !state.profiles.contains(*state.active_profile)) {
    return fail(fmt::format("active profile {} is not retained", *state.active_profile));
  }
  for (const auto& name : state.introduced_packages) {
    if (auto ok = check_package_name(name); !ok) return ok;
  }
  for (const auto& [id, entry] : state.profiles) {
    if (!is_valid_profile_id(id)) return fail(fmt::format("invalid saved profile {}", id));
    if (is_blank_text(entry.name)) return fail(fmt::format("saved profile {} has an empty name", id));
    for (const auto& name : entry.packages) {
      if (auto ok = check_package_name(name); !ok) return ok;
    }
    for (const auto& path : entry.manage) {
      if (!is_clean_relative_path(path)) {
        return fail(fmt::format("invalid managed path {} for profile {}", display_path(path), id));
      }
    }
    for (const auto& a : entry.manage) {
      for (const auto& b : entry.manage) {
        if (!paths_equal(a, b) && paths_overlap(a, b)) {
          return fail(fmt::format("overlapping managed path {} for profile {}", display_path(a), id));
        }
      }
    }
  }
  return {};
}

Result<bool> forget_profile(UserState& state, const std::string& id) {
  if (state.active_profile == id) return fail(fmt::format("cannot remove active profile {}", id));
  return state.profiles.erase(id) > 0;
}

std::set<std::string> unused_introduced_packages(const UserState& state) {
  std::set<std::string> unused;
  for (const auto& name : state.introduced_packages) {
    bool needed = false;
    for (const auto& [id, entry] : state.profiles) needed = needed || entry.packages.contains(name);
    if (!needed) unused.insert(name);
  }
  return unused;
}

ProfileState profile_state_from_profile(const Profile& profile) {
  return ProfileState{
      .name = profile.name,
      .description = profile.description,
      .packages = {profile.packages.begin(), profile.packages.end()},
      .manage = profile.manage,
  };
}

Status check_package_name(std::string_view name) {
  if (!is_valid_package_name(name)) return fail(fmt::format("invalid package name {}", name));
  return {};
}

}  // namespace vorpel
