#include "core/storage/state_store.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <iterator>

#include <fmt/format.h>

#include "core/storage/atomic_file.hpp"
#include "core/storage/path_rules.hpp"
#include "core/storage/path_text.hpp"
#include "core/storage/system_path.hpp"
#include "core/storage/text_file.hpp"

namespace vorpel {
namespace {

// Failures of stat that mean there is no state file to be had, so the user
// has no state yet. Anything else (an I/O error of the device, say) is
// reported: answering with the default state would let the next save
// overwrite the user's records.
bool means_no_state_file(int err) {
  return err == ENOENT || err == ENOTDIR || err == EACCES || err == ELOOP;
}

}  // namespace

Result<UserState> load_state(const std::string& state_path) {
  if (auto checked = check_path_io(state_path); !checked) return std::unexpected(std::move(checked.error()));
  struct stat st{};
  if (::stat(state_path.c_str(), &st) != 0) {
    if (means_no_state_file(errno)) return UserState{};
    return fail_errno(state_path);
  }
  auto text = io_error_with_path(state_path, read_text_file(state_path));
  if (!text) return std::unexpected(std::move(text.error()));
  auto state = parse_user_state(*text);
  if (!state) return std::unexpected(CoreError::toml(state_path, std::move(state.error())));
  return std::move(*state);
}

namespace {

Status check_state_text(const std::string& state_path, const std::string& text) {
  if (text.size() <= kTomlFileLimit) return {};
  return fail(fmt::format("the state would not fit in {}: {} bytes, over the size limit of {} MiB",
                          display_path(state_path), text.size(), kTomlFileLimit >> 20));
}

}  // namespace

Status check_state_fits(const std::string& state_path, const UserState& state) {
  auto text = serialize_user_state(state);
  if (!text) return fail(std::move(text.error()));
  return check_state_text(state_path, *text);
}

ReplaceStatus save_state_replacing(const std::string& state_path, const UserState& state) {
  auto text = serialize_user_state(state);
  if (!text) return std::unexpected(ReplaceError{CoreError::message(std::move(text.error())), false});
  if (auto fits = check_state_text(state_path, *text); !fits) {
    return std::unexpected(ReplaceError{std::move(fits.error()), false});
  }
  return replace_file_atomically(state_path, *text);
}

Status save_state(const std::string& state_path, const UserState& state) {
  auto saved = save_state_replacing(state_path, state);
  if (!saved) return std::unexpected(std::move(saved.error().error));
  return {};
}

Status validate_state(const UserState& state) {
  if (state.schema != kStateSchema) return fail("invalid user state schema");
  if (state.active_profile && !state.profiles.contains(*state.active_profile)) {
    return fail(fmt::format("active profile {} is not retained", display_named(*state.active_profile)));
  }
  for (const auto& name : state.introduced_packages) {
    if (auto ok = check_package_name(name); !ok) return ok;
  }
  for (const auto& [id, entry] : state.profiles) {
    if (!is_valid_profile_id(id)) return fail(fmt::format("invalid saved profile {}", display_named(id)));
    if (is_blank_text(entry.name)) return fail(fmt::format("saved profile {} has an empty name", id));
    for (const auto& name : entry.packages) {
      if (auto ok = check_package_name(name); !ok) return ok;
    }
    for (const auto& path : entry.manage) {
      if (!is_clean_relative_path(path)) {
        return fail(fmt::format("invalid managed path {} for profile {}", display_named(path), id));
      }
    }
    // In component order a path's descendants follow it directly: the
    // first path that overlaps any other is the first one that lies above
    // the path after it.
    for (auto a = entry.manage.begin(); a != entry.manage.end(); ++a) {
      const auto b = std::next(a);
      if (b != entry.manage.end() && path_at_or_below(*b, *a)) {
        return fail(fmt::format("overlapping managed path {} for profile {}", display_named(*a), id));
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
  if (!is_valid_package_name(name)) return fail(fmt::format("invalid package name {}", display_named(name)));
  return {};
}

}  // namespace vorpel
