// Carrying out an activation plan in HOME behind a backup of everything it
// removes or overwrites.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "core/activation/activation_plan.hpp"
#include "core/storage/core_error.hpp"

namespace vorpel {

// An old backup that retention could not remove; it stays where it is.
struct KeptBackup {
  std::string path;
  CoreError error;
};

struct AppliedPlan {
  std::optional<std::string> backup;  // the backup directory, when one was made
  std::vector<KeptBackup> kept;       // old backups beyond five left in place
};

// The failure that ended an application, with the backup directory when it
// holds what the application removed or overwrote before it.
struct FailedApplication {
  CoreError error;
  std::optional<std::string> backup;
};

// Checks every existing path the plan touches before anything changes,
// then goes through the removals and the writes in plan order, each
// existing path moving (or, where the system declines or a file has more
// links, being copied) into the backup at its own step. A failure leaves
// every later path as it was. Last it keeps the newest five backups (the
// one just made always among them); one it cannot remove is reported in
// `kept`, not as a failure.
std::expected<AppliedPlan, FailedApplication> apply_activation_plan(const ActivationPlan& plan,
                                                                    const std::string& home,
                                                                    const std::string& state_path);

// The refusals apply_activation_plan makes before it changes anything,
// made without changing anything: for a command to meet them before it
// changes packages or snapshots. The application checks again.
Status check_activation_plan(const ActivationPlan& plan, const std::string& home, const std::string& state_path);

// Creates `path` with any missing ancestors and sets it (only it) to 0700.
// A symbolic link at `path` is refused, neither followed nor changed.
Status create_private_dir(const std::string& path);

}  // namespace vorpel
