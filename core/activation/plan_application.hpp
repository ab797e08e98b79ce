// Carrying out an activation plan in HOME behind a backup of everything it
// removes or overwrites.
#pragma once

#include <optional>
#include <string>

#include "core/activation/activation_plan.hpp"
#include "core/storage/core_error.hpp"

namespace vorpel {

// Backs up the existing paths the plan touches, removes the given-up paths,
// writes every target whole, and keeps the newest five backups (the one it
// made always among them). Returns the backup directory when one was made.
Result<std::optional<std::string>> apply_activation_plan(const ActivationPlan& plan, const std::string& home,
                                                         const std::string& state_path);

// Creates `path` with any missing ancestors and sets it (only it) to 0700.
// A symbolic link at `path` is refused, neither followed nor changed.
Status create_private_dir(const std::string& path);

}  // namespace vorpel
