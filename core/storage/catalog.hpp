// Discovery and validation of the Profiles below a profile root.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/storage/core_error.hpp"
#include "core/storage/profile.hpp"

namespace vorpel {

inline constexpr std::string_view kManifestFileName = "profile.toml";
inline constexpr std::string_view kDefaultProfileRoot = "/usr/share/vorpel/profiles";

// VORPEL_PROFILE_ROOT as raw bytes when set, else the default root.
std::string resolve_profile_root();
Result<ProfileCatalog> load_profile_catalog(const std::string& profile_root);
Status validate_content_tree(const std::string& directory);

// The content root of Profile `id` below `profile_root`: the root's
// grandparent (found lexically) joined with the id; none when the root has no
// grandparent ("/", "/profiles", a one-component relative path).
std::optional<std::string> profile_content_root(std::string_view profile_root, std::string_view id);

}  // namespace vorpel
