// Discovery and validation of the Profiles below a profile root.
#pragma once

#include <string>

#include "core/storage/core_error.hpp"
#include "core/storage/profile.hpp"

namespace vorpel {

inline constexpr std::string_view kManifestFileName = "profile.toml";
inline constexpr std::string_view kDefaultProfileRoot = "/usr/share/vorpel/profiles";

// VORPEL_PROFILE_ROOT as raw bytes when set, else the default root.
std::string resolve_profile_root();
Result<ProfileCatalog> load_profile_catalog(const std::string& profile_root);
Status validate_content_tree(const std::string& directory);

}  // namespace vorpel
