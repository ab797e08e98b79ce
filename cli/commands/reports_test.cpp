#include "cli/commands/reports.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

namespace vorpel::commands {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

ProfileState retained_work() {
  ProfileState s;
  s.name = "Work";
  s.description = "Office setup";
  s.packages = {"zsh", "git", "nano"};
  s.manage = {"a-b", "a/b", "bin\xFF"};
  return s;
}

Profile installed_work() {
  Profile p;
  p.id = "work";
  p.name = "Work (new)";
  p.description = "changed since";
  p.content_root = "/usr/share/work";
  p.packages = {"zsh", "git", "vim"};
  p.manage = {".profile"};
  return p;
}

TEST(ProfileStatus, FollowsActiveRetainedAndInstalled) {
  const struct {
    bool active, retained, installed;
    ProfileStatus status;
    const char* word;
  } rows[] = {
      {true, true, true, ProfileStatus::Active, "active"},
      {true, true, false, ProfileStatus::Unavailable, "unavailable"},
      {true, false, true, ProfileStatus::Active, "active"},
      {false, true, true, ProfileStatus::Retained, "retained"},
      {false, true, false, ProfileStatus::Unavailable, "unavailable"},
      {false, false, true, ProfileStatus::Available, "available"},
  };
  const ProfileState retained = retained_work();
  const Profile installed = installed_work();
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.active << r.retained << r.installed);
    EXPECT_EQ(profile_status(r.active, r.retained, r.installed), r.status);
    const auto s = profile_summary("work", r.retained ? &retained : nullptr, r.installed ? &installed : nullptr,
                                   r.active);
    EXPECT_EQ(s.status, r.status);
    EXPECT_EQ(status_word(s.status), r.word);
  }
}

TEST(ProfileSummary, RetainedRecordWinsOverChangedDeclaration) {
  const ProfileState retained = retained_work();
  const Profile installed = installed_work();
  const auto s = profile_summary("work", &retained, &installed, false);
  EXPECT_EQ(s.id, "work");
  EXPECT_EQ(s.name, "Work");
  EXPECT_EQ(s.description, "Office setup");
  EXPECT_EQ(s.status, ProfileStatus::Retained);
  EXPECT_EQ(s.packages, (std::vector<std::string>{"git", "nano", "zsh"}));
  // Component order puts a/b before a-b; bytes that are not UTF-8 are shown replaced.
  EXPECT_EQ(s.managed_paths, (std::vector<std::string>{"a/b", "a-b", "bin" + kReplacement}));
}

TEST(ProfileSummary, CatalogueEntryKeepsManifestPackageOrder) {
  const Profile installed = installed_work();
  const auto s = profile_summary("work", nullptr, &installed, false);
  EXPECT_EQ(s.name, "Work (new)");
  EXPECT_EQ(s.description, "changed since");
  EXPECT_EQ(s.status, ProfileStatus::Available);
  EXPECT_EQ(s.packages, (std::vector<std::string>{"zsh", "git", "vim"}));
  EXPECT_EQ(s.managed_paths, std::vector<std::string>{".profile"});
}

TEST(TextBlock, RetainedProfileWithEveryLine) {
  const ProfileState retained = retained_work();
  const Profile installed = installed_work();
  EXPECT_EQ(retained_profile_text("work", retained, true, &installed),
            "work (active)\n"
            "  Work\n"
            "  Office setup\n"
            "  packages: git, nano, zsh\n"
            "  managed: a/b, a-b, bin" + kReplacement + "\n");
  EXPECT_EQ(retained_profile_text("work", retained, false, &installed).substr(0, 16), "work (retained)\n");
  EXPECT_EQ(retained_profile_text("work", retained, true, nullptr).substr(0, 27), "work (active, unavailable)\n");
  EXPECT_EQ(retained_profile_text("work", retained, false, nullptr).substr(0, 29),
            "work (retained, unavailable)\n");
}

TEST(TextBlock, BareProfileHasHeaderAndNameOnly) {
  ProfileState bare;
  bare.name = "Bare";
  EXPECT_EQ(retained_profile_text("bare", bare, false, nullptr), "bare (retained, unavailable)\n  Bare\n");

  Profile p;
  p.id = "bare";
  p.name = " Bare ";
  EXPECT_EQ(available_profile_text(p), "bare (available)\n   Bare \n");
  p.description = "  ";  // blanks are still a description
  EXPECT_EQ(available_profile_text(p), "bare (available)\n   Bare \n    \n");
}

TEST(TextBlock, AvailableProfileListsDeclaredPackagesInManifestOrder) {
  EXPECT_EQ(available_profile_text(installed_work()),
            "work (available)\n"
            "  Work (new)\n"
            "  changed since\n"
            "  packages: zsh, git, vim\n"
            "  managed: .profile\n");
}

TEST(SummaryJson, ShowOrderAndListOrderCarryTheSameMembers) {
  const ProfileState retained = retained_work();
  const auto s = profile_summary("work", &retained, nullptr, true);
  const std::string paths = R"(["a/b","a-b","bin)" + kReplacement + R"("])";
  EXPECT_EQ(profile_summary_to_json(s),
            R"({"id":"work","name":"Work","description":"Office setup","status":"unavailable",)"
            R"("packages":["git","nano","zsh"],"managedPaths":)" + paths + "}");
  EXPECT_EQ(json_text(profile_summary_to_json_value(s)),
            R"({"description":"Office setup","id":"work","managedPaths":)" + paths +
                R"(,"name":"Work","packages":["git","nano","zsh"],"status":"unavailable"})");
}

TEST(SummaryJson, EmptyFieldsAreEmptyStringsAndArrays) {
  Profile p;
  p.id = "bare";
  p.name = "Bare";
  const auto s = profile_summary("bare", nullptr, &p, false);
  EXPECT_EQ(profile_summary_to_json(s),
            R"({"id":"bare","name":"Bare","description":"","status":"available","packages":[],"managedPaths":[]})");
}

TEST(DiagnosticJson, ShowsManifestPathAsDisplayText) {
  const RejectedProfile r{"/root/b\xFFx", "/root/b\xFFx/profile.toml", "invalid profile id b\"x"};
  EXPECT_EQ(json_text(diagnostic_to_json(r)),
            R"({"message":"invalid profile id b\"x","path":"/root/b)" + kReplacement + R"(x/profile.toml"})");
}

TEST(ReportJson, DocumentsPrintKeysInByteOrderAndNullForNoActiveProfile) {
  EXPECT_EQ(json_text(current_report_to_json({})), R"({"activeProfile":null,"retainedProfiles":[]})");
  EXPECT_EQ(json_text(current_report_to_json({"work", {"home", "work"}})),
            R"({"activeProfile":"work","retainedProfiles":["home","work"]})");
  EXPECT_EQ(json_text(list_report_to_json({})), R"({"activeProfile":null,"diagnostics":[],"profiles":[]})");

  Profile p;
  p.id = "bare";
  p.name = "Bare";
  ListReport report{"bare", {diagnostic_to_json({"/r/x", "/r/x/profile.toml", "bad"})}, {}};
  report.profiles.push_back(profile_summary("bare", nullptr, &p, true));
  EXPECT_EQ(json_text(list_report_to_json(report)),
            R"({"activeProfile":"bare","diagnostics":[{"message":"bad","path":"/r/x/profile.toml"}],)"
            R"("profiles":[{"description":"","id":"bare","managedPaths":[],"name":"Bare","packages":[],)"
            R"("status":"active"}]})");
}

TEST(JsonText, EscapesOnlyWhatTheRulesName) {
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain", "plain"},
      {"\"", "\\\""},
      {"\\", "\\\\"},
      {"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
      {std::string("\0", 1), "\\u0000"},
      {"\x01\x0b\x1a\x1f", "\\u0001\\u000b\\u001a\\u001f"},
      {"/", "/"},
      {"\x7f", "\x7f"},
      {" ~", " ~"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out);
    EXPECT_EQ(json_text(nlohmann::json(c.in)), "\"" + c.out + "\"");
    EXPECT_EQ(json_text(nlohmann::ordered_json(c.in)), "\"" + c.out + "\"");
  }
}

TEST(JsonText, NeverThrowsOnBytesThatAreNotUtf8) {
  std::string out;
  EXPECT_NO_THROW(out = json_text(nlohmann::json{{"k", "a\xFF\xC3"}}));
  EXPECT_EQ(out.find('\xFF'), std::string::npos);
  EXPECT_NE(out.find(kReplacement), std::string::npos);
}

TEST(WriteStdout, FailedWriteEndsWithStatus101) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full to make writes fail";
  const auto write_to_full_device = [] {
    if (std::freopen("/dev/full", "w", stdout) == nullptr) std::_Exit(3);
    write_stdout("work (available)\n");
    std::_Exit(0);
  };
  EXPECT_EXIT(write_to_full_device(), ::testing::ExitedWithCode(101),
              "failed printing to stdout: No space left on device \\(os error 28\\)");
}

}  // namespace
}  // namespace vorpel::commands
