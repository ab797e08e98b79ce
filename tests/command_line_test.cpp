// The binary's command line: help and usage errors (streams and statuses),
// the HOME rule that comes before every command but validate, the error
// line, failed writes to standard output, and standard streams closed at
// the start.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/sandbox.hpp"

namespace vorpel::testing {
namespace {

const std::string kShortAbout = "Switch complete Halyx configuration profiles\n";
const std::string kLongAbout =
    "Install Profile packages with pacman, back up overwritten files, and switch complete configuration trees.\n";
const std::string kHomeUnset = "error: HOME is not set: environment variable not found\n";

std::string joined(const std::vector<std::string>& words) {
  std::string out;
  for (const auto& w : words) out += " " + w;
  return out;
}

// Nothing of the tool's own may have appeared: no state directory, no
// package-manager run.
void expect_untouched(const Sandbox& box) {
  EXPECT_FALSE(path_exists(box.home() + "/.local")) << "state directory created";
  EXPECT_TRUE(box.fake_log().empty()) << "pacman or sudo ran";
}

TEST(CommandLine, BareInvocationPrintsShortHelpOnStandardError) {
  const RunResult r = run_vorpel({});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with(kShortAbout + "\nUsage: vorpel <COMMAND>\n")) << r.err;
  EXPECT_EQ(r.err, run_vorpel({"-h"}).out) << "the same text as -h";
}

TEST(CommandLine, HelpGoesToStandardOutputWithStatusZero) {
  const struct {
    std::vector<std::string> words;
    std::string start;
  } rows[] = {
      {{"-h"}, kShortAbout},
      {{"--help"}, kLongAbout},
      {{"help"}, kLongAbout},
      {{"help", "select"}, "Select and activate a complete Profile\n\nUsage: vorpel select [OPTIONS] <PROFILE>\n"},
      {{"select", "--help"}, "Select and activate a complete Profile\n"},
      {{"show", "-h"}, "Show one installed or retained Profile\n"},
      {{"update", "--help"}, "Refresh a retained Profile from /usr/share\n"},
  };
  for (const auto& row : rows) {
    Sandbox box;
    box.env["HOME"] = std::nullopt;  // help needs no HOME
    const RunResult r = box.run(row.words);
    EXPECT_EQ(r.status, 0) << joined(row.words) << "\n" << r.err;
    EXPECT_EQ(r.err, "") << joined(row.words);
    EXPECT_TRUE(r.out.starts_with(row.start)) << joined(row.words) << "\n" << r.out;
  }
  const RunResult long_select = run_vorpel({"help", "select"});
  EXPECT_NE(long_select.out.find("Possible values:\n          - install: Install declared packages with sudo pacman "
                                 "before activation\n          - verify:  Require every declared package to be "
                                 "installed without invoking sudo\n"),
            std::string::npos)
      << long_select.out;
  EXPECT_NE(long_select.out.find("[default: install]"), std::string::npos);
}

TEST(CommandLine, UsageErrorsGoToStandardErrorWithStatusTwoAndTouchNothing) {
  const struct {
    std::vector<std::string> words;
    std::string first_line;
  } rows[] = {
      {{"frob"}, "error: unrecognized subcommand 'frob'"},
      {{"help", "frob"}, "error: unrecognized subcommand 'frob'"},
      {{"--version"}, "error: unexpected argument '--version' found"},
      {{"list", "extra"}, "error: unexpected argument 'extra' found"},
      {{"list", "--json", "--json"}, "error: the argument '--json' cannot be used multiple times"},
      {{"show", "-x"}, "error: unexpected argument '-x' found"},
      {{"select"}, "error: the following required arguments were not provided:"},
      {{"validate", ""}, "error: a value is required for '<PROFILE_ROOT>' but none was supplied"},
      {{"select", "work", "--packages", "Verify"}, "error: invalid value 'Verify' for '--packages <PACKAGE_MODE>'"},
      {{"select", "work", "--packages=auto"}, "error: invalid value 'auto' for '--packages <PACKAGE_MODE>'"},
      {{"select", "work", "--packages"},
       "error: a value is required for '--packages <PACKAGE_MODE>' but none was supplied"},
  };
  for (const auto& row : rows) {
    Sandbox box;
    box.add_profile("work", {"zsh"}, {});
    const RunResult r = box.run(row.words);
    EXPECT_EQ(r.status, 2) << joined(row.words);
    EXPECT_EQ(r.out, "") << joined(row.words);
    EXPECT_TRUE(r.err.starts_with(row.first_line + "\n")) << joined(row.words) << "\n" << r.err;
    EXPECT_NE(r.err.find("\nUsage: vorpel"), std::string::npos) << r.err;
    expect_untouched(box);
  }
}

TEST(CommandLine, ValuesAfterTheSeparatorThatHaveNoPlaceRunNothing) {
  // A state with a package that prune would remove.
  const std::string state = "schema = 5\nintroduced_packages = [\"a\"]\n";
  const struct {
    std::vector<std::string> words;
    std::string surplus;
  } rows[] = {
      {{"prune", "--", "--"}, "--"},
      {{"list", "--", "--"}, "--"},
      {{"current", "--json", "--", "--"}, "--"},
      {{"show", "a", "--", "--"}, "--"},
      {{"remove", "a", "--", "--"}, "--"},
      {{"list", "--", "--json"}, "--json"},
  };
  for (const auto& row : rows) {
    Sandbox box;
    box.write_state(state);
    box.set_installed({"a"});
    const RunResult r = box.run(row.words);
    EXPECT_EQ(r.status, 2) << joined(row.words);
    EXPECT_EQ(r.out, "") << joined(row.words);
    EXPECT_TRUE(r.err.starts_with("error: unexpected argument '" + row.surplus + "' found\n\nUsage: vorpel "))
        << joined(row.words) << "\n" << r.err;
    EXPECT_EQ(r.err.find("tip:"), std::string::npos) << joined(row.words) << "\n" << r.err;
    EXPECT_TRUE(box.fake_log().empty()) << joined(row.words) << ": pacman or sudo ran";
    EXPECT_FALSE(path_exists(box.state_dir() + "/lock")) << joined(row.words);
    EXPECT_EQ(read_file(box.state_file()), state) << joined(row.words);
  }
  // The same world without the surplus value does prune.
  Sandbox box;
  box.write_state(state);
  box.set_installed({"a"});
  EXPECT_EQ(box.run({"prune", "--"}).status, 0);
  EXPECT_EQ(box.fake_log(), (std::vector<std::string>{"pacman -Qq", "pacman -Rsp --print-format %n -- a",
                                                      "sudo pacman -Rns -- a", "pacman -Rns -- a"}));
}

TEST(CommandLine, WrongPackageModeListsTheValuesAndSuggestsTheClosest) {
  const RunResult r = run_vorpel({"select", "work", "--packages=Verify"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("  [possible values: install, verify]\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("  tip: a similar value exists: 'verify'\n"), std::string::npos) << r.err;
}

TEST(CommandLine, HomeUnsetFailsEveryCommandButValidateBeforeTouchingFiles) {
  const std::vector<std::vector<std::string>> commands = {
      {"list"},
      {"list", "--json"},
      {"show", "work"},
      {"current"},
      {"select", "work"},
      {"select", "work", "--packages", "verify"},
      {"select", "--packages=verify", "work"},
      {"plan", "work"},
      {"update"},
      {"update", "work"},
      {"remove", "work"},
      {"prune"},
  };
  for (const auto& words : commands) {
    Sandbox box;
    box.add_profile("work", {"zsh"}, {});
    box.write_manifest("broken", "schema = 3\n");  // a catalogue read would warn about it
    box.env["HOME"] = std::nullopt;
    const RunResult r = box.run(words);
    EXPECT_EQ(r.status, 2) << joined(words);
    EXPECT_EQ(r.out, "") << joined(words);
    EXPECT_EQ(r.err, kHomeUnset) << joined(words);
    expect_untouched(box);
  }
}

TEST(CommandLine, ValidateNeedsNoHome) {
  Sandbox box;
  box.add_profile("work", {}, {});
  box.env["HOME"] = std::nullopt;
  box.env["XDG_STATE_HOME"] = "relative";
  const RunResult r = box.run({"validate", box.profile_root()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "validated profile work\n");
  EXPECT_EQ(r.err, "");
}

TEST(CommandLine, HomeThatIsNotUtf8IsShownEscaped) {
  Sandbox box;
  box.env["HOME"] = "/tmp/\xFFh\"o\tme\x01";
  const RunResult r = box.run({"current"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "error: HOME is not set: environment variable was not valid unicode: \"/tmp/\\xFFh\\\"o\\tme\\u{1}\"\n");
}

TEST(CommandLine, EmptyHomeIsAcceptedAndTheStatePathIsRelative) {
  Sandbox box;
  TempDir cwd;
  write_file(cwd.path() + "/.local/state/vorpel/state.toml",
             "schema = 5\nactive_profile = \"w\"\n[profiles.w]\nname = \"W\"\n");
  box.env["HOME"] = "";
  RunOptions options;
  options.env = box.env;
  options.cwd = cwd.path();
  const RunResult r = run_vorpel({"current"}, options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Active Profile: w\nRetained Profiles: w\n");
}

TEST(CommandLine, StateFileFollowsXdgStateHome) {
  Sandbox box;
  write_file(box.root() + "/xdg/vorpel/state.toml", "schema = 5\n[profiles.a]\nname = \"A\"\n");
  box.env["XDG_STATE_HOME"] = box.root() + "/xdg";
  EXPECT_EQ(box.run({"current"}).out, "Active Profile: none\nRetained Profiles: a\n");
  box.env["XDG_STATE_HOME"] = "rel";  // below HOME, never below the working directory
  write_file(box.home() + "/rel/vorpel/state.toml", "schema = 5\n[profiles.b]\nname = \"B\"\n");
  EXPECT_EQ(box.run({"current"}).out, "Active Profile: none\nRetained Profiles: b\n");
}

TEST(CommandLine, ErrorLineJoinsTheWholeCauseChain) {
  Sandbox box;
  make_dirs(box.state_file());  // a directory where the state file should be
  const RunResult io = box.run({"current"});
  EXPECT_EQ(io.status, 2);
  EXPECT_EQ(io.out, "");
  EXPECT_EQ(io.err,
            "error: I/O at " + box.state_file() + ": Is a directory (os error 21): Is a directory (os error 21)\n");

  Sandbox other;
  other.write_state("schema = 5\nactive_profile = \"x\"\n");
  const RunResult message = other.run({"current"});
  EXPECT_EQ(message.status, 2);
  EXPECT_EQ(message.err, "error: active profile x is not retained\n");
}

TEST(CommandLine, ClosedStandardOutputIsReportedNotADeathBySignal) {
  Sandbox box;
  for (const auto& words : std::vector<std::vector<std::string>>{{"current"}, {"--help"}}) {
    RunOptions options;
    options.env = box.env;
    options.stdout_unread = true;
    const RunResult r = run_vorpel(words, options);
    EXPECT_EQ(r.signal, 0) << joined(words);
    EXPECT_EQ(r.status, 101) << joined(words);
    EXPECT_EQ(r.err, "failed printing to stdout: Broken pipe (os error 32)\n") << joined(words);
  }
}

// The backup line is the only word of where the user's files went: when
// standard output fails, it follows the failure line on standard error.
TEST(CommandLine, BackupLineReachesStandardErrorWhenStandardOutputFails) {
  Sandbox box;
  box.add_profile("work", {}, {".profile"});
  box.write_content("work", ".profile", "work profile\n");
  box.write_home(".profile", "mine\n");
  RunOptions options;
  options.env = box.env;
  options.stdout_unread = true;
  const RunResult r = run_vorpel({"select", "work"}, options);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.status, 101);
  const std::string failure = "failed printing to stdout: Broken pipe (os error 32)\n";
  ASSERT_TRUE(r.err.starts_with(failure)) << r.err;
  const std::string backup = backup_dir_of(r.err.substr(failure.size()));
  ASSERT_FALSE(backup.empty()) << r.err;
  EXPECT_EQ(r.err, failure + "Backup: " + backup + "\n");
  EXPECT_EQ(read_file(backup + "/home/.profile"), "mine\n");
}

// Started with standard streams closed, the tool must not let the first
// file it opens (the state lock) take a stream's number and receive the
// report; the command works as it would with the streams open.
TEST(CommandLine, ClosedStandardStreamsLendTheirNumbersToNoFile) {
  for (const std::vector<int>& closed : std::vector<std::vector<int>>{{1}, {0, 1, 2}, {2}, {0}}) {
    Sandbox box;
    box.add_profile("work", {}, {".profile"});
    box.write_content("work", ".profile", "work profile\n");
    box.write_home(".profile", "mine\n");  // backed up: a "Backup:" line more
    RunOptions options;
    options.env = box.env;
    options.closed = closed;
    const RunResult r = run_vorpel({"select", "work"}, options);
    const std::string which = ::testing::PrintToString(closed);
    EXPECT_EQ(r.status, 0) << which << "\n" << r.err;
    EXPECT_EQ(read_file(box.state_dir() + "/lock"), "") << which;
    EXPECT_EQ(read_file(box.home() + "/.profile"), "work profile\n") << which;
    EXPECT_NE(read_file(box.state_file()).find("active_profile = \"work\"\n"), std::string::npos) << which;
    if (closed == std::vector<int>{2}) {
      EXPECT_TRUE(r.out.ends_with("Profile work is active.\n")) << r.out;
    }
  }

  // An error line for a closed standard error goes nowhere; the status is
  // that of the failure, not of a failed write.
  Sandbox box;
  RunOptions options;
  options.env = box.env;
  options.closed = {2};
  const RunResult r = run_vorpel({"show", "nope"}, options);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace vorpel::testing
