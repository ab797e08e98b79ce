#include "cli/commands/plan.hpp"

#include <gtest/gtest.h>

namespace vorpel::commands {
namespace {

TEST(HomeRelativeDisplayTest, StripsHomeByComponents) {
  const struct {
    std::string_view path, home, text;
  } cases[] = {
      {"/home/u/.config/app", "/home/u", ".config/app"},
      {"/home/u/.config/app", "/home/u/", ".config/app"},
      {"/home/u//.config//app", "/home//u", ".config//app"},  // inner separators stay as written
      {"/home/u/a/./b/", "/home/u", "a/./b"},
      {"/home/user/x", "/home/u", "/home/user/x"},  // not below HOME: whole path
      {"/elsewhere/x", "/home/u", "/elsewhere/x"},
      {".profile", "", ".profile"},
      {"/home/u/bad\xff", "/home/u", "bad\xef\xbf\xbd"},
  };
  for (const auto& c : cases) EXPECT_EQ(home_relative_display(c.path, c.home), c.text) << c.path;
}

TEST(PlanReportTest, TextLinesAndJsonKeyOrder) {
  PlanReport report;
  report.profile = "work";
  report.first_activation = false;
  report.paths_removed = {"b/c", "a"};
  report.paths_written = {"a", "b/c", "d"};
  report.existing_paths_affected = {"b/c", "a"};
  EXPECT_EQ(plan_report_text(report),
            "Profile: work\nFirst activation: false\nMissing packages: \nPaths removed: 2\nPaths written: 3\n"
            "Existing paths affected: 2\n");
  report.missing_packages = {"zsh", "git"};
  EXPECT_TRUE(plan_report_text(report).find("\nMissing packages: zsh, git\n") != std::string::npos);
  EXPECT_EQ(plan_report_to_json(report).dump(),
            R"({"existingPathsAffected":["a","b/c"],"firstActivation":false,"missingPackages":["zsh","git"],)"
            R"("pathsRemoved":["b/c","a"],"pathsWritten":["a","b/c","d"],"profile":"work"})");
}

}  // namespace
}  // namespace vorpel::commands
