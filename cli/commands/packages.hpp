// The package-manager bridge: asks pacman what is installed and runs
// `sudo pacman` to install or remove packages. It prints nothing itself;
// during a change run sudo and pacman talk to the user's terminal.
#pragma once

#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_error.hpp"
#include "cli/commands/package_mode.hpp"

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

// Runs `pacman -Qq` and collects the names it prints. Call it only for a
// non-empty package list; otherwise use an empty set and start nothing.
CommandResult<PackageSet> query_installed_packages();

// Runs `pacman -Qqd`: the installed packages whose install reason is
// "installed as a dependency". pacman ends with status 1 and prints nothing
// when there is none; that is an empty set.
CommandResult<PackageSet> query_dependency_packages();

// The names of the query's output in order: one per line, trimmed of
// Unicode white space, blank lines skipped. The views point into `text`.
std::vector<std::string_view> parse_installed_package_lines(std::string_view text);

// Runs `sudo pacman <operation args> -- <packages>` on the user's terminal.
// `packages` must not be empty.
CommandResult<void> run_sudo_pacman(const PackageOperation& operation, std::span<const std::string> packages);

// Installs the whole list (nothing for an empty one) and returns the names
// that `installed`, the set queried before, lacked.
CommandResult<PackageSet> install_packages(std::span<const std::string> packages, const PackageSet& installed);

// Install mode: install_packages. Verify mode: fails while any listed
// package is missing and starts nothing; the introduced set is then empty.
CommandResult<PackageSet> ensure_packages(std::span<const std::string> packages, const PackageSet& installed,
                                          PackageMode mode);

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
