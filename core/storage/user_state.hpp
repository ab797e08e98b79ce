// The records of "state.toml".
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "core/storage/path_rules.hpp"

namespace vorpel {

inline constexpr std::uint32_t kStateSchema = 5;

struct ProfileState {
  std::string name;
  std::string description;
  std::set<std::string> packages;  // byte order
  PathSet manage;                  // component order
  bool operator==(const ProfileState&) const = default;
};

struct UserState {
  std::uint32_t schema = kStateSchema;
  std::optional<std::string> active_profile;
  std::set<std::string> introduced_packages;
  std::map<std::string, ProfileState> profiles;
  bool operator==(const UserState&) const = default;
};

}  // namespace vorpel

#include <expected>
#include <string_view>

#include "core/storage/core_error.hpp"

namespace vorpel {

// Reads the text of "state.toml" (schema check included).
std::expected<UserState, TomlError> parse_user_state(std::string_view text);
// The complete text of "state.toml", or the writer's error message.
std::expected<std::string, std::string> serialize_user_state(const UserState& state);

}  // namespace vorpel
