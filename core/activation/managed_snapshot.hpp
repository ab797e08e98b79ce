// The private copy of a retained Profile's managed paths that later
// activations are planned from.
#pragma once

#include <string>

#include "core/storage/core_error.hpp"
#include "core/storage/profile.hpp"

namespace vorpel {

// <state directory>/profiles/<id>/managed; computed only.
Result<std::string> managed_snapshot_dir(const std::string& state_path, const std::string& id);

// Replaces the snapshot with a fresh copy of the Profile's managed paths
// from its content root.
Status refresh_managed_snapshot(const Profile& profile, const std::string& snapshot_dir);

}  // namespace vorpel
