#include "cli/entry.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "cli/commands/commands.hpp"
#include "cli/commands/reports.hpp"
#include "core/storage/open_file_limit.hpp"
#include "core/storage/path_text.hpp"
#include "core/storage/state_location.hpp"
#include "core/storage/unique_fd.hpp"

namespace vorpel {
namespace {

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

CommandResult<void> open_standard_streams() {
  auto failed = [] {
    return std::unexpected(
        CommandError::from(OsError::from_errno(errno)).context("open /dev/null for a closed standard stream"));
  };
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // Not close-on-exec: pacman and sudo get the same streams.
    UniqueFd null(open("/dev/null", O_RDWR));
    if (!null) return failed();
    // The lower descriptors are open by now, so this is normally `fd` itself.
    if (null.get() == fd) {
      null.release();
    } else if (dup2(null.get(), fd) < 0) {
      return failed();
    }
  }
  return {};
}

CommandResult<std::string> read_home() {
  const char* home = std::getenv("HOME");
  if (home == nullptr) {
    return std::unexpected(CommandError::message("environment variable not found").context("HOME is not set"));
  }
  std::string value(home);
  if (!is_valid_utf8(value)) {
    return std::unexpected(
        CommandError::message("environment variable was not valid unicode: " + debug_quoted(value, true))
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
          [](const ValidateCommand& c) { return commands::validate(c.profile_root); },  // taken above
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
  // The walks hold a descriptor per directory level: as many as allowed.
  raise_open_file_limit();
  const std::vector<std::string> args(argv, argv + argc);
  auto cli = parse_cli(args);
  if (!cli) finish_parse(cli.error());
  return run_command(cli->command);
}

}  // namespace vorpel
