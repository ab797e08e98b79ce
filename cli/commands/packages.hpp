// The package-manager bridge: asks pacman what is installed and runs
// `sudo pacman` to install or remove packages. It prints nothing itself;
// during a change run sudo and pacman talk to the user's terminal.
#pragma once

#include <map>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_error.hpp"

namespace vorpel::commands {

// Names in byte order, each once.
using PackageSet = std::set<std::string>;

// A fixed list of pacman arguments and the word that names it in messages.
struct PackageOperation {
  std::span<const std::string_view> args;
  std::string_view purpose;
};

inline constexpr std::string_view kPacmanInstallArgs[] = {"-S", "--needed"};
inline constexpr std::string_view kPacmanPruneArgs[] = {"-Rns"};
inline constexpr std::string_view kPacmanMarkExplicitArgs[] = {"-D", "--asexplicit"};
inline constexpr PackageOperation PACMAN_INSTALL_ARGS{kPacmanInstallArgs, "installation"};
inline constexpr PackageOperation PACMAN_PRUNE_ARGS{kPacmanPruneArgs, "prune"};
// Sets the install reason to "explicitly installed", which pacman's
// recursive removal of unneeded dependencies never touches.
inline constexpr PackageOperation PACMAN_MARK_EXPLICIT_ARGS{kPacmanMarkExplicitArgs, "install reason change"};

// Every query whose output is read runs with LC_ALL=C, so that pacman
// prints its fixed English texts.

// Runs `pacman -Qq` and collects the names it prints. Call it only for a
// non-empty package list; otherwise use an empty set and start nothing.
CommandResult<PackageSet> query_installed_packages();

// The names of the query's output in order: one per line, trimmed of
// Unicode white space, blank lines skipped. The views point into `text`.
std::vector<std::string_view> parse_installed_package_lines(std::string_view text);

// Fails with "Profiles declare package names, ..." when one of `names` is a
// group or a name that another package only provides, before anything is
// installed: pacman would install the real packages, and the name declared
// would then never be installed itself. Asks `pacman -Sp`, which resolves
// names as `pacman -S` does but needs no root and changes nothing. A name
// that pacman cannot resolve at all is left to the installation, which
// fails on it before installing anything.
CommandResult<void> refuse_non_package_names(std::span<const std::string> names);

// Runs `sudo pacman <operation args> -- <packages>` on the user's terminal.
// `packages` must not be empty.
CommandResult<void> run_sudo_pacman(const PackageOperation& operation, std::span<const std::string> packages);

// Verify mode: fails while any listed package is missing; starts nothing.
CommandResult<void> verify_packages(std::span<const std::string> packages, const PackageSet& installed);

// What `pacman -Rns -- <targets>` would do, from a dry run that changes
// nothing: either everything it would remove (the targets and the
// dependencies nothing else needs), or, when it would refuse, each target
// that an installed package staying behind still requires, with those
// packages.
struct RemovalCheck {
  PackageSet removed;
  std::map<std::string, PackageSet> refused;
};
CommandResult<RemovalCheck> check_removal(std::span<const std::string> targets);

// The "removing X breaks dependency 'D' required by Y" lines of pacman's
// refusal, as X and Y.
std::map<std::string, PackageSet> parse_broken_dependencies(std::string_view text);

// The listed names absent from `installed`, as a set.
PackageSet packages_not_in_set(std::span<const std::string> packages, const PackageSet& installed);
// The listed names absent from `installed`, in list order.
std::vector<std::string> missing_packages(std::span<const std::string> packages, const PackageSet& installed);
// The candidates present in `installed`, in byte order.
std::vector<std::string> installed_prune_candidates(const PackageSet& candidates, const PackageSet& installed);
// Views of the listed names absent from `installed`, in list order.
std::vector<std::string_view> plan_missing_packages(std::span<const std::string> packages,
                                                    const PackageSet& installed);

}  // namespace vorpel::commands
