// The command line of vorpel: its description for CLI11, the typed result
// of a parse, and the parser's own answers (help texts and usage errors).
#pragma once

#include <array>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "cli/commands/package_mode.hpp"

namespace CLI {
class App;
}

namespace vorpel {

struct ValidateCommand {
  std::string profile_root;  // bytes as given, never empty
  bool operator==(const ValidateCommand&) const = default;
};
struct ListCommand {
  bool json = false;
  bool operator==(const ListCommand&) const = default;
};
struct ShowCommand {
  std::string profile;
  bool json = false;
  bool operator==(const ShowCommand&) const = default;
};
struct CurrentCommand {
  bool json = false;
  bool operator==(const CurrentCommand&) const = default;
};
struct SelectCommand {
  std::string profile;
  PackageMode package_mode = PackageMode::Install;
  bool operator==(const SelectCommand&) const = default;
};
struct PlanCommand {
  std::string profile;
  bool json = false;
  bool operator==(const PlanCommand&) const = default;
};
struct UpdateCommand {
  std::optional<std::string> profile;
  bool operator==(const UpdateCommand&) const = default;
};
struct RemoveCommand {
  std::string profile;
  bool operator==(const RemoveCommand&) const = default;
};
struct PruneCommand {
  bool operator==(const PruneCommand&) const = default;
};

// One alternative per subcommand, in the order the help lists them.
using CliCommand = std::variant<ValidateCommand, ListCommand, ShowCommand, CurrentCommand, SelectCommand,
                                PlanCommand, UpdateCommand, RemoveCommand, PruneCommand>;

struct Cli {
  CliCommand command;
  bool operator==(const Cli&) const = default;
};

// A value an option accepts: its command-line name and its help text.
struct PossibleValue {
  std::string_view name;
  std::string_view help;
};

inline constexpr std::array<PackageMode, 2> kPackageModes = {PackageMode::Install, PackageMode::Verify};

PossibleValue package_mode_possible_value(PackageMode mode);
// "install", computed once.
const std::string& default_package_mode_value();

// The whole command line as CLI11 sees it: the root command "vorpel", its
// subcommands in order (the nine, then "help"), their arguments, help texts
// and the formatter that renders the help.
std::unique_ptr<CLI::App> cli_command();

// What the parser says instead of returning a Cli: a help text (status 0,
// for standard output) or a usage report, and the bare invocation's help
// (status 2, for standard error). `text` ends with a newline.
struct ParserExit {
  int status = 2;
  std::string text;
  bool to_stderr() const { return status != 0; }
};

// Parses an argument vector whose first element names the program (usage
// lines use its file-name part). The elements are raw bytes.
std::expected<Cli, ParserExit> parse_cli(std::span<const std::string> args);

}  // namespace vorpel
