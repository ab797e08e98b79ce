#include "cli/grammar.hpp"

#include <gtest/gtest.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <vector>

namespace vorpel {
namespace {

std::expected<Cli, ParserExit> parse(std::vector<std::string> words) {
  words.insert(words.begin(), "/usr/bin/vorpel");
  return parse_cli(words);
}

std::string describe(const std::vector<std::string>& words) {
  std::string out;
  for (const auto& w : words) out += "[" + w + "]";
  return out;
}

TEST(Grammar, ArgumentVectorsGiveTheirCommand) {
  const struct {
    std::vector<std::string> words;
    CliCommand command;
  } rows[] = {
      {{"validate", "/srv/profiles"}, ValidateCommand{"/srv/profiles"}},
      {{"validate", "root\xFF"}, ValidateCommand{"root\xFF"}},
      {{"list"}, ListCommand{false}},
      {{"list", "--json"}, ListCommand{true}},
      {{"show", "work"}, ShowCommand{"work", false}},
      {{"show", "--json", "work"}, ShowCommand{"work", true}},
      {{"show", "work", "--json"}, ShowCommand{"work", true}},
      {{"show", ""}, ShowCommand{"", false}},
      {{"show", "--", "-x"}, ShowCommand{"-x", false}},
      {{"show", "--json", "--", "--json"}, ShowCommand{"--json", true}},
      {{"show", "--", "--"}, ShowCommand{"--", false}},
      {{"show", "--", "-h"}, ShowCommand{"-h", false}},
      {{"update", "--", "--"}, UpdateCommand{"--"}},
      {{"validate", "--", "--"}, ValidateCommand{"--"}},
      {{"select", "--packages=verify", "--", "--packages"}, SelectCommand{"--packages", PackageMode::Verify}},
      {{"show", "-"}, ShowCommand{"-", false}},
      {{"show", "++"}, ShowCommand{"++", false}},
      {{"show", "list"}, ShowCommand{"list", false}},
      {{"current"}, CurrentCommand{false}},
      {{"current", "--json"}, CurrentCommand{true}},
      {{"select", "work"}, SelectCommand{"work", PackageMode::Install}},
      {{"select", "work", "--packages", "verify"}, SelectCommand{"work", PackageMode::Verify}},
      {{"select", "work", "--packages=verify"}, SelectCommand{"work", PackageMode::Verify}},
      {{"select", "--packages", "install", "work"}, SelectCommand{"work", PackageMode::Install}},
      {{"plan", "work"}, PlanCommand{"work", false}},
      {{"plan", "--json", "work"}, PlanCommand{"work", true}},
      {{"update"}, UpdateCommand{std::nullopt}},
      {{"update", "work"}, UpdateCommand{"work"}},
      {{"update", "select"}, UpdateCommand{"select"}},
      {{"remove", "work"}, RemoveCommand{"work"}},
      {{"prune"}, PruneCommand{}},
  };
  for (const auto& row : rows) {
    const auto result = parse(row.words);
    ASSERT_TRUE(result.has_value()) << describe(row.words) << "\n" << result.error().text;
    EXPECT_EQ(result->command, row.command) << describe(row.words);
  }
}

TEST(Grammar, UsageErrorsGoToStandardErrorWithStatusTwo) {
  const struct {
    std::vector<std::string> words;
    std::string problem;  // the report's first line
    std::string also;     // another part of the report, or empty
  } rows[] = {
      {{"frob"}, "error: unrecognized subcommand 'frob'", ""},
      {{"lst"}, "error: unrecognized subcommand 'lst'", "tip: a similar subcommand exists: 'list'"},
      {{"LIST"}, "error: unrecognized subcommand 'LIST'", ""},
      {{"sel"}, "error: unrecognized subcommand 'sel'", ""},
      {{"--version"}, "error: unexpected argument '--version' found", ""},
      {{"-V"}, "error: unexpected argument '-V' found", ""},
      {{"--json", "list"}, "error: unexpected argument '--json' found", ""},
      {{"--"}, "error: 'vorpel' requires a subcommand but one was not provided", ""},
      {{"list", "extra"}, "error: unexpected argument 'extra' found", "Usage: vorpel list [OPTIONS]"},
      {{"current", "x"}, "error: unexpected argument 'x' found", ""},
      {{"prune", "x"}, "error: unexpected argument 'x' found", "Usage: vorpel prune\n"},
      {{"list", "--", "x"}, "error: unexpected argument 'x' found", ""},
      // After "--" every word is a value, and a value with no place is
      // surplus whatever it looks like.
      {{"prune", "--", "--"}, "error: unexpected argument '--' found", "Usage: vorpel prune\n"},
      {{"list", "--", "--"}, "error: unexpected argument '--' found", ""},
      {{"current", "--json", "--", "--"}, "error: unexpected argument '--' found", ""},
      {{"show", "a", "--", "--"}, "error: unexpected argument '--' found", "Usage: vorpel show [OPTIONS] <PROFILE>"},
      {{"show", "--", "a", "--"}, "error: unexpected argument '--' found", ""},
      {{"show", "--", "--", "--"}, "error: unexpected argument '--' found", ""},
      {{"update", "a", "--", "--", "b"}, "error: unexpected argument '--' found", ""},
      {{"list", "--", "--json"}, "error: unexpected argument '--json' found", ""},
      {{"show", "a", "--", "--js"}, "error: unexpected argument '--js' found", ""},
      {{"prune", "--", "-h"}, "error: unexpected argument '-h' found", ""},
      {{"--", "--hel"}, "error: unexpected argument '--hel' found", ""},
      {{"show", "a", "-"}, "error: unexpected argument '-' found", ""},
      {{"show", "a", "b"}, "error: unexpected argument 'b' found", ""},
      {{"update", "a", "b"}, "error: unexpected argument 'b' found", ""},
      {{"show", "--js", "a"}, "error: unexpected argument '--js' found", "tip: a similar argument exists: '--json'"},
      {{"show", "--JSON", "a"}, "error: unexpected argument '--JSON' found", ""},
      {{"show"}, "error: the following required arguments were not provided:", "  <PROFILE>\n"},
      {{"select"}, "error: the following required arguments were not provided:", "  <PROFILE>\n"},
      {{"plan", "--json"}, "error: the following required arguments were not provided:", "  <PROFILE>\n"},
      {{"remove"}, "error: the following required arguments were not provided:", "  <PROFILE>\n"},
      {{"validate"}, "error: the following required arguments were not provided:", "  <PROFILE_ROOT>\n"},
      {{"validate", ""}, "error: a value is required for '<PROFILE_ROOT>' but none was supplied", ""},
      {{"show", "-x"}, "error: unexpected argument '-x' found", "tip: to pass '-x' as a value, use '-- -x'"},
      {{"show", "-1"}, "error: unexpected argument '-1' found", ""},
      {{"show", "\xFF"}, "error: invalid UTF-8 was detected in one or more arguments", ""},
      {{"update", "a\xC3"}, "error: invalid UTF-8 was detected in one or more arguments", ""},
      {{"list", "--json", "--json"}, "error: the argument '--json' cannot be used multiple times", ""},
      {{"select", "w", "--packages", "verify", "--packages=verify"},
       "error: the argument '--packages <PACKAGE_MODE>' cannot be used multiple times", ""},
      {{"list", "--json=true"}, "error: unexpected value 'true' for '--json' found; no more were expected", ""},
      {{"list", "--json="}, "error: unexpected value '' for '--json' found; no more were expected", ""},
      {{"select", "w", "--packages"},
       "error: a value is required for '--packages <PACKAGE_MODE>' but none was supplied",
       "  [possible values: install, verify]\n"},
      {{"select", "w", "--packages", "--", "x"},
       "error: a value is required for '--packages <PACKAGE_MODE>' but none was supplied", ""},
      {{"select", "w", "--packages", "Verify"}, "error: invalid value 'Verify' for '--packages <PACKAGE_MODE>'",
       "  [possible values: install, verify]\n\n  tip: a similar value exists: 'verify'\n"},
      {{"select", "w", "--packages=inst"}, "error: invalid value 'inst' for '--packages <PACKAGE_MODE>'",
       "tip: a similar value exists: 'install'"},
      {{"select", "w", "--packages="}, "error: invalid value '' for '--packages <PACKAGE_MODE>'",
       "[possible values: install, verify]"},
      {{"list", "--packages", "verify"}, "error: unexpected argument '--packages' found", ""},
      {{"help", "nope"}, "error: unrecognized subcommand 'nope'", ""},
      {{"help", "list", "show"}, "error: unexpected argument 'show' found", ""},
      {{"list", "--help=x"}, "error: unexpected value 'x' for '--help' found; no more were expected", ""},
  };
  for (const auto& row : rows) {
    const auto result = parse(row.words);
    ASSERT_FALSE(result.has_value()) << describe(row.words);
    const ParserExit& exit = result.error();
    EXPECT_EQ(exit.status, 2) << describe(row.words);
    EXPECT_TRUE(exit.to_stderr());
    EXPECT_TRUE(exit.text.starts_with(row.problem + "\n") || exit.text.starts_with(row.problem))
        << describe(row.words) << "\n" << exit.text;
    EXPECT_NE(exit.text.find(row.also), std::string::npos) << describe(row.words) << "\n" << exit.text;
    EXPECT_TRUE(exit.text.ends_with("\n\nFor more information, try '--help'.\n")) << exit.text;
    if (std::ranges::find(row.words, "--") != row.words.end()) {
      EXPECT_EQ(exit.text.find("tip: a similar argument"), std::string::npos)
          << describe(row.words) << ": no option is suggested for a value\n" << exit.text;
    }
  }
}

const char* const kRootShortHelp =
    "Switch complete Halyx configuration profiles\n"
    "\n"
    "Usage: vorpel <COMMAND>\n"
    "\n"
    "Commands:\n"
    "  validate  Validate Profile declarations under an explicit metadata root\n"
    "  list      List installed and retained Profiles\n"
    "  show      Show one installed or retained Profile\n"
    "  current   Show the active and retained Profiles\n"
    "  select    Select and activate a complete Profile\n"
    "  plan      Preview Profile package and configuration changes without modifying the system\n"
    "  update    Refresh a retained Profile from /usr/share\n"
    "  remove    Forget an inactive retained Profile. Packages remain until prune\n"
    "  prune     Remove unreferenced direct packages introduced by Vorpel\n"
    "  help      Print this message or the help of the given subcommand(s)\n"
    "\n"
    "Options:\n"
    "  -h, --help  Print help (see more with '--help')\n";

const char* const kSelectLongHelp =
    "Select and activate a complete Profile\n"
    "\n"
    "Usage: vorpel select [OPTIONS] <PROFILE>\n"
    "\n"
    "Arguments:\n"
    "  <PROFILE>\n"
    "\n"
    "Options:\n"
    "      --packages <PACKAGE_MODE>\n"
    "          How Profile packages are handled before activation\n"
    "\n"
    "          Possible values:\n"
    "          - install: Install declared packages with sudo pacman before activation\n"
    "          - verify:  Require every declared package to be installed without invoking sudo\n"
    "\n"
    "          [default: install]\n"
    "\n"
    "  -h, --help\n"
    "          Print help (see a summary with '-h')\n";

ParserExit help_of(std::vector<std::string> words) {
  auto result = parse(std::move(words));
  if (result) return ParserExit{-1, "parsed"};
  return result.error();
}

TEST(GrammarHelp, ShortAndLongHelpOfTheRoot) {
  const ParserExit short_help = help_of({"-h"});
  EXPECT_EQ(short_help.status, 0);
  EXPECT_FALSE(short_help.to_stderr());
  EXPECT_EQ(short_help.text, kRootShortHelp);

  const ParserExit long_help = help_of({"--help"});
  EXPECT_EQ(long_help.status, 0);
  EXPECT_TRUE(long_help.text.starts_with(
      "Install Profile packages with pacman, back up overwritten files, and switch complete configuration "
      "trees.\n\nUsage: vorpel <COMMAND>\n"))
      << long_help.text;
  EXPECT_EQ(long_help.text.find("Switch complete Halyx"), std::string::npos);
  EXPECT_TRUE(long_help.text.ends_with("  -h, --help\n          Print help (see a summary with '-h')\n"));
  EXPECT_EQ(help_of({"help"}).text, long_help.text);
  EXPECT_EQ(help_of({"help"}).status, 0);
}

TEST(GrammarHelp, BareInvocationPrintsTheShortHelpAsAnError) {
  const auto result = parse_cli(std::vector<std::string>{"vorpel"});
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().status, 2);
  EXPECT_TRUE(result.error().to_stderr());
  EXPECT_EQ(result.error().text, kRootShortHelp);
}

TEST(GrammarHelp, SubcommandHelpShowsDefaultsAndPossibleValues) {
  EXPECT_EQ(help_of({"select", "--help"}).text, kSelectLongHelp);
  EXPECT_EQ(help_of({"help", "select"}).text, kSelectLongHelp);
  EXPECT_EQ(help_of({"help", "select"}).status, 0);

  const std::string brief = help_of({"select", "-h"}).text;
  EXPECT_NE(brief.find("      --packages <PACKAGE_MODE>  How Profile packages are handled before activation "
                       "[default: install] [possible values: install, verify]\n"),
            std::string::npos)
      << brief;
  EXPECT_NE(brief.find("  -h, --help                     Print help (see more with '--help')\n"), std::string::npos);
}

TEST(GrammarHelp, UsageLinesOfEverySubcommand) {
  const struct {
    const char* name;
    const char* first_lines;
  } rows[] = {
      {"validate", "Validate Profile declarations under an explicit metadata root\n\n"
                   "Usage: vorpel validate <PROFILE_ROOT>\n\nArguments:\n  <PROFILE_ROOT>\n\nOptions:\n  -h, --help"},
      {"list", "List installed and retained Profiles\n\nUsage: vorpel list [OPTIONS]\n\nOptions:\n      --json\n"},
      {"show", "Show one installed or retained Profile\n\nUsage: vorpel show [OPTIONS] <PROFILE>\n"},
      {"current", "Show the active and retained Profiles\n\nUsage: vorpel current [OPTIONS]\n"},
      {"plan", "Preview Profile package and configuration changes without modifying the system\n\n"
               "Usage: vorpel plan [OPTIONS] <PROFILE>\n"},
      {"update", "Refresh a retained Profile from /usr/share\n\nUsage: vorpel update [PROFILE]\n\n"
                 "Arguments:\n  [PROFILE]\n"},
      {"remove", "Forget an inactive retained Profile. Packages remain until prune\n\n"
                 "Usage: vorpel remove <PROFILE>\n"},
      {"prune", "Remove unreferenced direct packages introduced by Vorpel\n\nUsage: vorpel prune\n\nOptions:\n"},
  };
  for (const auto& row : rows) {
    const ParserExit help = help_of({row.name, "-h"});
    EXPECT_EQ(help.status, 0) << row.name;
    EXPECT_TRUE(help.text.starts_with(row.first_lines)) << row.name << "\n" << help.text;
    // The long help of a subcommand repeats its about text.
    EXPECT_TRUE(help_of({"help", row.name}).text.starts_with(row.first_lines)) << row.name;
  }
}

TEST(GrammarHelp, TheFirstHelpRequestOrFaultWins) {
  // Help is answered where it is asked, even when the rest would not parse.
  EXPECT_EQ(help_of({"show", "-h"}).status, 0);
  EXPECT_EQ(help_of({"list", "-h", "extra"}).status, 0);
  EXPECT_EQ(help_of({"list", "extra", "--help"}).status, 0) << "values are counted after the options";
  EXPECT_EQ(help_of({"list", "--bogus", "-h"}).status, 2);
  EXPECT_EQ(help_of({"frob", "-h"}).status, 2);
  EXPECT_EQ(help_of({"-h", "frob"}).text, kRootShortHelp);
  EXPECT_EQ(help_of({"-h", "select"}).text, kRootShortHelp);
  EXPECT_EQ(help_of({"show", "--", "-h"}).status, -1) << "after -- it is the profile";
}

TEST(GrammarHelp, UsageNamesTheProgramByItsFileName) {
  const auto result = parse_cli(std::vector<std::string>{"/opt/tools/vp", "list", "x"});
  ASSERT_FALSE(result.has_value());
  EXPECT_NE(result.error().text.find("\nUsage: vp list [OPTIONS]\n"), std::string::npos) << result.error().text;
}

TEST(GrammarDescription, SubcommandsInOrderWithTheirAboutTexts) {
  const auto app = cli_command();
  EXPECT_EQ(app->get_name(), "vorpel");
  EXPECT_EQ(app->get_description(), "Switch complete Halyx configuration profiles");
  std::vector<std::string> names;
  for (const auto* sub : app->get_subcommands({})) names.push_back(sub->get_name());
  EXPECT_EQ(names, (std::vector<std::string>{"validate", "list", "show", "current", "select", "plan", "update",
                                             "remove", "prune", "help"}));
  EXPECT_EQ(app->get_subcommand("remove")->get_description(),
            "Forget an inactive retained Profile. Packages remain until prune");
}

TEST(GrammarDescription, PackageModeValues) {
  EXPECT_EQ(package_mode_possible_value(PackageMode::Install).name, "install");
  EXPECT_EQ(package_mode_possible_value(PackageMode::Install).help,
            "Install declared packages with sudo pacman before activation");
  EXPECT_EQ(package_mode_possible_value(PackageMode::Verify).name, "verify");
  EXPECT_EQ(package_mode_possible_value(PackageMode::Verify).help,
            "Require every declared package to be installed without invoking sudo");
  EXPECT_EQ(default_package_mode_value(), "install");
  EXPECT_EQ(&default_package_mode_value(), &default_package_mode_value());
}

}  // namespace
}  // namespace vorpel
