#include "cli/entry.hpp"

#include <cstdlib>
#include <vector>

#include <fmt/format.h>

#include "cli/commands/commands.hpp"
#include "cli/commands/reports.hpp"
#include "core/storage/path_text.hpp"
#include "core/storage/state_location.hpp"

namespace vorpel {
namespace {

// A text in double quotes with the escapes of a debug rendering: quotes and
// backslash escaped, control characters spelled out, and each byte that is
// not part of valid UTF-8 shown as \xHH.
std::string debug_quoted(std::string_view bytes) {
  std::string out = "\"";
  auto append_valid = [&out](std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
      const auto byte = static_cast<unsigned char>(text[i]);
      // The C1 controls U+0080..U+009F are encoded as C2 80..C2 9F.
      const bool c1 = byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0;
      if (c1) {
        out += fmt::format("\\u{{{:x}}}", static_cast<unsigned char>(text[i + 1]));
        i += 2;
        continue;
      }
      switch (byte) {
        case '\0': out += "\\0"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '"': out += "\\\""; break;
        case '\'': out += "\\'"; break;
        case '\\': out += "\\\\"; break;
        default:
          if (byte < 0x20 || byte == 0x7F) {
            out += fmt::format("\\u{{{:x}}}", byte);
          } else {
            out += text[i];
          }
      }
      ++i;
    }
  };
  while (!bytes.empty()) {
    Utf8Fault fault{};
    if (check_utf8(bytes, fault)) {
      append_valid(bytes);
      break;
    }
    append_valid(bytes.substr(0, fault.valid_up_to));
    const std::size_t bad = fault.error_len == 0 ? bytes.size() - fault.valid_up_to : fault.error_len;
    for (std::size_t i = 0; i < bad; ++i) {
      out += fmt::format("\\x{:02X}", static_cast<unsigned char>(bytes[fault.valid_up_to + i]));
    }
    bytes.remove_prefix(fault.valid_up_to + bad);
  }
  return out + "\"";
}

template <class T>
std::unexpected<CommandError> pass_on(CommandResult<T>& failed) {
  return std::unexpected(std::move(failed.error()));
}

// The commands that need the catalogue get it loaded, with a warning per
// rejected Profile, before anything else of theirs happens.
template <class Run>
CommandResult<int> with_catalog(Run run) {
  auto catalog = commands::load_catalog_reporting_invalid();
  if (!catalog) return pass_on(catalog);
  return run(*catalog);
}

CommandResult<int> exit_zero(CommandResult<void> result) {
  if (!result) return std::unexpected(std::move(result.error()));
  return 0;
}

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

// Ends the process with what the parser had to say instead of a command.
[[noreturn]] void finish_parse(const ParserExit& exit) {
  if (exit.to_stderr()) {
    commands::write_stderr(exit.text);
  } else {
    commands::write_stdout(exit.text);
  }
  std::exit(exit.status);
}

}  // namespace

CommandResult<std::string> read_home() {
  const char* home = std::getenv("HOME");
  if (home == nullptr) return std::unexpected(CommandError::message("environment variable not found").context("HOME is not set"));
  std::string value(home);
  if (!is_valid_utf8(value)) {
    return std::unexpected(
        CommandError::message("environment variable was not valid unicode: " + debug_quoted(value))
            .context("HOME is not set"));
  }
  return value;
}

CommandResult<std::string> state_path_from_env() {
  auto home = read_home();
  if (!home) return pass_on(home);
  return state_file_path(*home);
}

CommandResult<int> run_command(const CliCommand& command) {
  // validate reads no environment at all.
  if (const auto* validate = std::get_if<ValidateCommand>(&command)) {
    return commands::validate(validate->profile_root);
  }
  auto home = read_home();
  if (!home) return pass_on(home);
  auto state_path = state_path_from_env();
  if (!state_path) return pass_on(state_path);
  const std::string& state = *state_path;

  return std::visit(
      Overloaded{
          [](const ValidateCommand& c) { return commands::validate(c.profile_root); },
          [&](const ListCommand& c) {
            return with_catalog([&](const ProfileCatalog& catalog) { return commands::list(catalog, state, c.json); });
          },
          [&](const ShowCommand& c) {
            return with_catalog(
                [&](const ProfileCatalog& catalog) { return commands::show(catalog, state, c.profile, c.json); });
          },
          [&](const CurrentCommand& c) { return commands::current(state, c.json); },
          [&](const SelectCommand& c) {
            return with_catalog([&](const ProfileCatalog& catalog) {
              return exit_zero(commands::select_profile(catalog.profiles, c.profile, *home, state, c.package_mode));
            });
          },
          [&](const PlanCommand& c) {
            return with_catalog([&](const ProfileCatalog& catalog) {
              return exit_zero(commands::plan_profile(catalog.profiles, c.profile, *home, state, c.json));
            });
          },
          [&](const UpdateCommand& c) {
            return with_catalog([&](const ProfileCatalog& catalog) -> CommandResult<int> {
              auto id = c.profile ? CommandResult<std::string>(*c.profile) : commands::active_profile_for_update(state);
              if (!id) return pass_on(id);
              return exit_zero(commands::update_profile(catalog.profiles, *id, *home, state));
            });
          },
          [&](const RemoveCommand& c) { return commands::remove(state, c.profile); },
          [&](const PruneCommand&) { return commands::prune(state); },
      },
      command);
}

CommandResult<int> run_command_line(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  auto cli = parse_cli(args);
  if (!cli) finish_parse(cli.error());
  return run_command(cli->command);
}

}  // namespace vorpel
