// `plan`: previews what `select` would do for one Profile. It reads the
// state, the snapshot, the content root and HOME, takes no lock and writes
// nothing; pacman is only asked what is installed.
#include "cli/commands/plan.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "cli/commands/command_steps.hpp"
#include "cli/commands/commands.hpp"
#include "cli/commands/packages.hpp"
#include "cli/commands/reports.hpp"
#include "core/activation/plan_application.hpp"
#include "core/storage/file_kind.hpp"
#include "core/storage/path_rules.hpp"
#include "core/storage/path_text.hpp"
#include "core/storage/state_store.hpp"

namespace vorpel::commands {

std::string home_relative_display(std::string_view path, std::string_view home) {
  const auto relative = strip_path_prefix(path, home);
  return display_path(relative ? std::string_view(*relative) : path);
}

std::string written_path_display(const PlannedWrite& write) { return display_path(write.relative); }

std::set<std::string> existing_affected_paths(const ActivationPlan& plan, std::string_view home) {
  std::set<std::string> out;
  const auto keep_existing = [&](const std::string& path) {
    if (exists_no_follow(path)) out.insert(home_relative_display(path, home));
  };
  for (const auto& path : plan.removed) keep_existing(path);
  for (const auto& write : plan.written) keep_existing(write.target);
  return out;
}

std::string plan_report_text(const PlanReport& report) {
  return fmt::format(
      "Profile: {}\nFirst activation: {}\nMissing packages: {}\nPaths removed: {}\nPaths written: {}\n"
      "Existing paths affected: {}\n",
      report.profile, report.first_activation, fmt::join(report.missing_packages, ", "), report.paths_removed.size(),
      report.paths_written.size(), report.existing_paths_affected.size());
}

nlohmann::json plan_report_to_json(const PlanReport& report) {
  nlohmann::json j = nlohmann::json::object();
  j["profile"] = report.profile;
  j["firstActivation"] = report.first_activation;
  j["missingPackages"] = report.missing_packages;
  j["pathsRemoved"] = report.paths_removed;
  j["pathsWritten"] = report.paths_written;
  j["existingPathsAffected"] = report.existing_paths_affected;
  return j;
}

CommandResult<void> plan_profile(const Profiles& profiles, const std::string& id, const std::string& home,
                                 const std::string& state_path, bool json) {
  auto state = load_valid_state(state_path);
  if (!state) return std::unexpected(std::move(state.error()));

  auto chosen = selection_target(profiles, *state, id, state_path);
  if (!chosen) return std::unexpected(std::move(chosen.error()));
  const auto& packages = chosen->packages;

  auto plan = build_activation_plan(*state, id, chosen->target, chosen->sources, home, state_path, false);
  if (!plan) return command_fail(plan.error());
  // What select would refuse in HOME before changing anything, plan refuses.
  if (auto refused = check_activation_plan(*plan, home, state_path); !refused) return command_fail(refused.error());

  // Only after planning succeeded, and only when there is something to ask.
  auto installed = installed_packages_for(packages);
  if (!installed) return std::unexpected(std::move(installed.error()));

  PlanReport report;
  report.profile = id;
  report.first_activation = chosen->first_activation;
  report.missing_packages = missing_packages(packages, *installed);

  for (const auto& path : plan->removed) report.paths_removed.push_back(home_relative_display(path, home));
  for (const auto& write : plan->written) report.paths_written.push_back(written_path_display(write));
  report.existing_paths_affected = existing_affected_paths(*plan, home);

  if (json) {
    print_json(plan_report_to_json(report));
  } else {
    write_stdout(plan_report_text(report));
  }
  return {};
}

}  // namespace vorpel::commands
