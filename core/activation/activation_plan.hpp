// Working out, without touching the disk, what activating a Profile does to
// HOME: the paths given up and the files and trees written.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/storage/core_error.hpp"
#include "core/storage/path_rules.hpp"
#include "core/storage/user_state.hpp"

namespace vorpel {

// Where the target Profile's files come from: `source` holds its managed
// paths; every regular file of `seed` that no managed path covers is
// written as well.
struct PlanSources {
  std::string source;
  std::optional<std::string> seed;
};

struct PlannedWrite {
  std::string relative;  // HOME-relative
  std::string source;    // a regular file or a directory tree
  std::string target;    // HOME joined with `relative`
  bool operator==(const PlannedWrite&) const = default;
};

struct ActivationPlan {
  std::vector<std::string> removed;   // HOME targets, deepest first, no repeats in a row
  std::vector<PlannedWrite> written;  // by `relative`, component order
  bool operator==(const ActivationPlan&) const = default;
};

// `in_place` false switches HOME from the active Profile to `id`; true
// refreshes `id` where it stands (and plans nothing unless it is active).
// Only `target.manage` is read.
Result<ActivationPlan> build_activation_plan(const UserState& state, const std::string& id, const ProfileState& target,
                                             const PlanSources& sources, const std::string& home,
                                             const std::string& state_path, bool in_place);

// Fails where copying the managed paths of `source` would and a plan
// without a seed does not look: a file the user cannot read, a tree deeper
// than the open descriptors allow, a kind the copy refuses. For checking a
// content root before anything is copied from it.
Status check_source_trees(const std::string& source, const PathSet& manage);

// HOME joined with `relative`, once it is known to stay clear of the state
// directory and to reach its target through no symbolic-link directory.
Result<std::string> resolve_home_path(const std::string& home, const std::string& state_path,
                                      const std::string& relative);

// Drops the paths that equal or lie below a managed path; the rest keep
// their order.
void drop_covered_paths(std::vector<std::string>& files, const PathSet& managed);

}  // namespace vorpel
