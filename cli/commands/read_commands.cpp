// The read-only reports: list, show and current. They take no lock and
// write nothing but their report.
#include <fmt/format.h>

#include "cli/commands/command_steps.hpp"
#include "cli/commands/commands.hpp"
#include "cli/commands/reports.hpp"

namespace vorpel::commands {
namespace {

const Profile* find_installed(const ProfileCatalog& catalog, const std::string& id) {
  return find_profile(catalog.profiles, id);
}

const ProfileState* find_retained(const UserState& state, const std::string& id) {
  const auto it = state.profiles.find(id);
  return it == state.profiles.end() ? nullptr : &it->second;
}

bool is_active(const UserState& state, const std::string& id) { return state.active_profile == id; }

}  // namespace

CommandResult<int> list(const ProfileCatalog& catalog, const std::string& state_path, bool json) {
  auto state = load_valid_state(state_path);
  if (!state) return std::unexpected(std::move(state.error()));

  if (!json) {
    for (const auto& [id, retained] : state->profiles) {
      print_retained_profile(id, retained, is_active(*state, id), find_installed(catalog, id));
    }
    for (const auto& [id, profile] : catalog.profiles) {
      if (!state->profiles.contains(id)) print_available_profile(profile);
    }
    return 0;
  }

  ListReport report;
  report.active_profile = state->active_profile;
  for (const auto& [id, retained] : state->profiles) {
    report.profiles.push_back(profile_summary(id, &retained, find_installed(catalog, id), is_active(*state, id)));
  }
  for (const auto& [id, profile] : catalog.profiles) {
    if (!state->profiles.contains(id)) report.profiles.push_back(profile_summary(id, nullptr, &profile, false));
  }
  for (const auto& rejected : catalog.rejected) report.diagnostics.push_back(diagnostic_to_json(rejected));
  print_json(list_report_to_json(report));
  return 0;
}

CommandResult<int> show(const ProfileCatalog& catalog, const std::string& state_path, const std::string& profile,
                        bool json) {
  auto state = load_valid_state(state_path);
  if (!state) return std::unexpected(std::move(state.error()));

  const ProfileState* retained = find_retained(*state, profile);
  const Profile* installed = find_installed(catalog, profile);
  if (retained == nullptr && installed == nullptr) return command_fail(fmt::format("unknown Profile {}", profile));
  const bool active = is_active(*state, profile);

  if (json) {
    write_stdout(profile_summary_to_json(profile_summary(profile, retained, installed, active)) + "\n");
  } else if (retained != nullptr) {
    print_retained_profile(profile, *retained, active, installed);
  } else {
    print_available_profile(*installed);
  }
  return 0;
}

CommandResult<int> current(const std::string& state_path, bool json) {
  auto state = load_valid_state(state_path);
  if (!state) return std::unexpected(std::move(state.error()));

  CurrentReport report;
  report.active_profile = state->active_profile;
  for (const auto& entry : state->profiles) report.retained_profiles.push_back(entry.first);

  if (json) {
    print_json(current_report_to_json(report));
    return 0;
  }
  const std::string retained = report.retained_profiles.empty()
                                   ? std::string("none")
                                   : fmt::format("{}", fmt::join(report.retained_profiles, ", "));
  write_stdout(fmt::format("Active Profile: {}\n", report.active_profile.value_or("none")));
  write_stdout(fmt::format("Retained Profiles: {}\n", retained));
  return 0;
}

}  // namespace vorpel::commands
