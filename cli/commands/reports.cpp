#include "cli/commands/reports.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fmt/format.h>

#include "core/storage/core_error.hpp"
#include "core/storage/path_text.hpp"

namespace vorpel::commands {
namespace {

std::vector<std::string> display_paths(const PathSet& paths) {
  std::vector<std::string> out;
  out.reserve(paths.size());
  for (const auto& p : paths) out.push_back(path_display_string(p));
  return out;
}

// The lines shared by both text blocks, after the header.
void append_body(std::string& out, const std::string& name, const std::string& description,
                 const std::vector<std::string>& packages, const PathSet& manage) {
  out += fmt::format("  {}\n", name);
  if (!description.empty()) out += fmt::format("  {}\n", description);
  if (!packages.empty()) out += fmt::format("  packages: {}\n", fmt::join(packages, ", "));
  if (!manage.empty()) out += fmt::format("  managed: {}\n", fmt::join(display_paths(manage), ", "));
}

template <class Json>
Json summary_members(const ProfileSummary& s) {
  Json j = Json::object();
  j["id"] = s.id;
  j["name"] = s.name;
  j["description"] = s.description;
  j["status"] = std::string(status_word(s.status));
  j["packages"] = s.packages;
  j["managedPaths"] = s.managed_paths;
  return j;
}

}  // namespace

std::string_view status_word(ProfileStatus status) {
  switch (status) {
    case ProfileStatus::Active: return "active";
    case ProfileStatus::Retained: return "retained";
    case ProfileStatus::Available: return "available";
    case ProfileStatus::Unavailable: return "unavailable";
  }
  return "unavailable";
}

ProfileStatus profile_status(bool active, bool retained, bool installed) {
  if (!installed) return ProfileStatus::Unavailable;
  if (active) return ProfileStatus::Active;
  return retained ? ProfileStatus::Retained : ProfileStatus::Available;
}

ProfileSummary profile_summary(const std::string& id, const ProfileState* retained, const Profile* installed,
                               bool active) {
  ProfileSummary s;
  s.id = id;
  s.status = profile_status(active, retained != nullptr, installed != nullptr);
  if (retained != nullptr) {
    s.name = retained->name;
    s.description = retained->description;
    s.packages.assign(retained->packages.begin(), retained->packages.end());
    s.managed_paths = display_paths(retained->manage);
  } else if (installed != nullptr) {
    s.name = installed->name;
    s.description = installed->description;
    s.packages = installed->packages;
    s.managed_paths = display_paths(installed->manage);
  }
  return s;
}

std::string retained_profile_text(const std::string& id, const ProfileState& retained, bool active,
                                  const Profile* installed) {
  std::string out = fmt::format("{} ({}{})\n", id, active ? "active" : "retained",
                                installed == nullptr ? ", unavailable" : "");
  const std::vector<std::string> packages(retained.packages.begin(), retained.packages.end());
  append_body(out, retained.name, retained.description, packages, retained.manage);
  return out;
}

std::string available_profile_text(const Profile& profile) {
  std::string out = fmt::format("{} (available)\n", profile.id);
  append_body(out, profile.name, profile.description, profile.packages, profile.manage);
  return out;
}

void print_retained_profile(const std::string& id, const ProfileState& retained, bool active,
                            const Profile* installed) {
  write_stdout(retained_profile_text(id, retained, active, installed));
}

void print_available_profile(const Profile& profile) { write_stdout(available_profile_text(profile)); }

std::string invalid_profile_line(const RejectedProfile& rejected) {
  return fmt::format("invalid profile {}: {}\n", path_display_string(rejected.manifest), rejected.message);
}

ProfileDiagnostic diagnostic_to_json(const RejectedProfile& rejected) {
  nlohmann::json j = nlohmann::json::object();
  j["path"] = path_display_string(rejected.manifest);
  j["message"] = rejected.message;
  return j;
}

std::string profile_summary_to_json(const ProfileSummary& summary) {
  return json_text(summary_members<nlohmann::ordered_json>(summary));
}

nlohmann::json profile_summary_to_json_value(const ProfileSummary& summary) {
  return summary_members<nlohmann::json>(summary);
}

namespace {
nlohmann::json id_or_null(const std::optional<std::string>& id) {
  return id ? nlohmann::json(*id) : nlohmann::json(nullptr);
}
}  // namespace

nlohmann::json current_report_to_json(const CurrentReport& report) {
  nlohmann::json j = nlohmann::json::object();
  j["activeProfile"] = id_or_null(report.active_profile);
  j["retainedProfiles"] = report.retained_profiles;
  return j;
}

nlohmann::json list_report_to_json(const ListReport& report) {
  nlohmann::json profiles = nlohmann::json::array();
  for (const auto& s : report.profiles) profiles.push_back(profile_summary_to_json_value(s));
  nlohmann::json j = nlohmann::json::object();
  j["activeProfile"] = id_or_null(report.active_profile);
  j["diagnostics"] = nlohmann::json(report.diagnostics);
  j["profiles"] = std::move(profiles);
  return j;
}

std::string path_display_string(std::string_view path) { return display_path(path); }

std::string json_text(const nlohmann::json& document) {
  return document.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string json_text(const nlohmann::ordered_json& document) {
  return document.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void print_json(const nlohmann::json& document) { write_stdout(json_text(document) + "\n"); }

namespace {

// A failed write ends the process: the report cannot be trusted any more, and
// nothing the command saved is undone by stopping here. With `rescue` the
// text follows the failure line on standard error, not to be lost.
void write_stream(std::FILE* stream, std::string_view name, std::string_view text, bool rescue = false) {
  const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
  if (written && std::fflush(stream) == 0) return;
  const int code = errno;
  std::fprintf(stderr, "failed printing to %.*s: %s\n", static_cast<int>(name.size()), name.data(),
               OsError::from_errno(code).text().c_str());
  if (rescue) std::fwrite(text.data(), 1, text.size(), stderr);
  std::exit(101);
}

}  // namespace

void write_stdout(std::string_view text) { write_stream(stdout, "stdout", text); }

void write_stdout_or_stderr(std::string_view text) { write_stream(stdout, "stdout", text, true); }

void write_stderr(std::string_view text) { write_stream(stderr, "stderr", text); }

}  // namespace vorpel::commands
