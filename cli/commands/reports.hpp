// How Profiles are described to the user: the summary record, its text
// blocks and JSON forms, and the JSON text every report document uses.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/storage/profile.hpp"
#include "core/storage/user_state.hpp"

namespace vorpel::commands {

enum class ProfileStatus { Active, Retained, Available, Unavailable };

// "active", "retained", "available" or "unavailable".
std::string_view status_word(ProfileStatus status);

// The status of a Profile from whether it is the active one, whether the
// state retains it and whether the catalogue holds it. The catalogue decides
// availability even when the retained record is what gets shown.
ProfileStatus profile_status(bool active, bool retained, bool installed);

struct ProfileSummary {
  std::string id;
  std::string name;
  std::string description;  // empty when there is none
  ProfileStatus status = ProfileStatus::Available;
  std::vector<std::string> packages;
  std::vector<std::string> managed_paths;  // display text, component order
  bool operator==(const ProfileSummary&) const = default;
};

// Builds the summary from the retained record when there is one, else from
// the catalogue entry. At least one of the two must be given; the callers
// report an id that neither holds before calling.
ProfileSummary profile_summary(const std::string& id, const ProfileState* retained, const Profile* installed,
                               bool active);

// The text blocks, one line each ended by a newline. The *_text forms return
// what the print_* forms write to standard output.
std::string retained_profile_text(const std::string& id, const ProfileState& retained, bool active,
                                  const Profile* installed);
std::string available_profile_text(const Profile& profile);
void print_retained_profile(const std::string& id, const ProfileState& retained, bool active,
                            const Profile* installed);
void print_available_profile(const Profile& profile);

// The warning line of one rejected catalogue entry, newline included:
// "invalid profile {manifest}: {message}".
std::string invalid_profile_line(const RejectedProfile& rejected);

// The JSON object of one rejected catalogue entry: "message" and "path".
using ProfileDiagnostic = nlohmann::json;
ProfileDiagnostic diagnostic_to_json(const RejectedProfile& rejected);

// Compact text of one summary with its members in declared order, as `show`
// prints it (without the final newline).
std::string profile_summary_to_json(const ProfileSummary& summary);
// One summary as a value whose members print in byte order of their keys.
nlohmann::json profile_summary_to_json_value(const ProfileSummary& summary);

// The document of `current --json`: "activeProfile" (null when none) and
// "retainedProfiles" in id order.
struct CurrentReport {
  std::optional<std::string> active_profile;
  std::vector<std::string> retained_profiles;
};
nlohmann::json current_report_to_json(const CurrentReport& report);

// The document of `list --json`: "activeProfile", "diagnostics" in catalogue
// order, and "profiles" (retained first, then the other installed ones).
struct ListReport {
  std::optional<std::string> active_profile;
  std::vector<ProfileDiagnostic> diagnostics;
  std::vector<ProfileSummary> profiles;
};
nlohmann::json list_report_to_json(const ListReport& report);

// The display text of a path.
std::string path_display_string(std::string_view path);

// Compact one-line JSON text of a document (no final newline). Strings that
// are not valid UTF-8 have their faults replaced rather than making the
// serializer throw, though every string the reports build is valid already.
std::string json_text(const nlohmann::json& document);
std::string json_text(const nlohmann::ordered_json& document);
// Writes a document's text and a newline to standard output.
void print_json(const nlohmann::json& document);

// Writes text to standard output and flushes it. A failed write ends the
// process at once with "failed printing to stdout: {}" on standard error and
// status 101; nothing the command has saved is undone by that.
void write_stdout(std::string_view text);
// The same for standard error ("failed printing to stderr: {}").
void write_stderr(std::string_view text);
// Like write_stdout, but a failed write also puts the text on standard error
// after the failure line: for a line that names where the user's files are.
void write_stdout_or_stderr(std::string_view text);

}  // namespace vorpel::commands
