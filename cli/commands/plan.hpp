// The pieces of `plan`'s report: what a selection would remove, write and
// overwrite in HOME, and which declared packages are missing.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/activation/activation_plan.hpp"

namespace vorpel::commands {

struct PlanReport {
  std::string profile;  // the id as typed
  bool first_activation = false;
  std::vector<std::string> missing_packages;  // the target's package order
  std::vector<std::string> paths_removed;     // plan order
  std::vector<std::string> paths_written;     // plan order
  std::set<std::string> existing_paths_affected;
};

// `path` without its HOME prefix (compared component by component) when it
// lies at or below HOME, else the whole path; as display text.
std::string home_relative_display(std::string_view path, std::string_view home);

// The display text of the write's HOME-relative path.
std::string written_path_display(const PlannedWrite& write);

// The removed paths and then the write targets that exist now (a dangling
// symbolic link included), as HOME-relative texts, each once.
std::set<std::string> existing_affected_paths(const ActivationPlan& plan, std::string_view home);

// The six lines of the text report.
std::string plan_report_text(const PlanReport& report);
// The JSON document; its members print in byte order of their keys.
nlohmann::json plan_report_to_json(const PlanReport& report);

}  // namespace vorpel::commands
