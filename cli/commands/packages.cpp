#include "cli/commands/packages.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "cli/commands/child_process.hpp"
#include "core/storage/path_text.hpp"

namespace vorpel::commands {

namespace {

std::string utf8_error_text(const Utf8Fault& fault) {
  if (fault.error_len == 0) return fmt::format("incomplete utf-8 byte sequence from index {}", fault.valid_up_to);
  return fmt::format("invalid utf-8 sequence of {} bytes from index {}", fault.error_len, fault.valid_up_to);
}

}  // namespace

std::vector<std::string_view> parse_installed_package_lines(std::string_view text) {
  std::vector<std::string_view> names;
  while (true) {
    const std::size_t end = text.find('\n');
    const std::string_view name = trim_white_space(text.substr(0, end));
    if (!name.empty()) names.push_back(name);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return names;
}

namespace {

// What a query is called in its messages.
struct QueryWords {
  std::string_view context;  // "query {} with pacman"
  std::string_view failure;  // "pacman {} failed with ..."
};

CommandResult<PackageSet> run_package_query(std::span<const std::string> args, const QueryWords& words,
                                            bool empty_fails_with_one) {
  auto run = run_captured("pacman", args);
  if (!run) {
    return std::unexpected(
        CommandError::from(run.error()).context(fmt::format("query {} with pacman", words.context)));
  }
  const std::string err = display_path(run->err);
  if (empty_fails_with_one && run->status.code() == 1 && trim_white_space(run->out).empty() &&
      trim_white_space(err).empty()) {
    return PackageSet{};
  }
  if (!run->status.success()) {
    return command_fail(
        fmt::format("pacman {} failed with {}: {}", words.failure, run->status.text(), trim_white_space(err)));
  }
  Utf8Fault fault{};
  if (!check_utf8(run->out, fault)) return command_fail(utf8_error_text(fault));
  PackageSet names;
  for (std::string_view name : parse_installed_package_lines(run->out)) names.emplace(name);
  return names;
}

}  // namespace

CommandResult<PackageSet> query_installed_packages() {
  static const std::string kArgs[] = {"-Qq"};
  return run_package_query(kArgs, {"installed packages", "package query"}, false);
}

CommandResult<PackageSet> query_dependency_packages() {
  static const std::string kArgs[] = {"-Qqd"};
  return run_package_query(kArgs, {"dependency packages", "dependency query"}, true);
}

CommandResult<void> run_sudo_pacman(const PackageOperation& operation, std::span<const std::string> packages) {
  std::vector<std::string> args{"pacman"};
  for (std::string_view arg : operation.args) args.emplace_back(arg);
  args.emplace_back("--");
  args.insert(args.end(), packages.begin(), packages.end());
  auto status = run_inherited("sudo", args);
  if (!status) {
    return std::unexpected(
        CommandError::from(status.error()).context(fmt::format("run sudo pacman for {}", operation.purpose)));
  }
  if (!status->success()) return command_fail(fmt::format("pacman {} failed with {}", operation.purpose, status->text()));
  return {};
}

CommandResult<PackageSet> install_packages(std::span<const std::string> packages, const PackageSet& installed) {
  if (packages.empty()) return PackageSet{};
  if (auto ran = run_sudo_pacman(PACMAN_INSTALL_ARGS, packages); !ran) return std::unexpected(std::move(ran.error()));
  return packages_not_in_set(packages, installed);
}

CommandResult<PackageSet> ensure_packages(std::span<const std::string> packages, const PackageSet& installed,
                                          PackageMode mode) {
  if (mode == PackageMode::Install) return install_packages(packages, installed);
  const auto missing = missing_packages(packages, installed);
  if (missing.empty()) return PackageSet{};
  return command_fail(fmt::format("Profile packages are not installed: {}", fmt::join(missing, ", ")));
}

PackageSet packages_not_in_set(std::span<const std::string> packages, const PackageSet& installed) {
  PackageSet out;
  for (const auto& name : packages) {
    if (!installed.contains(name)) out.insert(name);
  }
  return out;
}

std::vector<std::string> missing_packages(std::span<const std::string> packages, const PackageSet& installed) {
  std::vector<std::string> out;
  for (const auto& name : packages) {
    if (!installed.contains(name)) out.push_back(name);
  }
  return out;
}

std::vector<std::string> installed_prune_candidates(const PackageSet& candidates, const PackageSet& installed) {
  std::vector<std::string> out;
  for (const auto& name : candidates) {
    if (installed.contains(name)) out.push_back(name);
  }
  return out;
}

std::vector<std::string_view> plan_missing_packages(std::span<const std::string> packages,
                                                    const PackageSet& installed) {
  std::vector<std::string_view> out;
  for (const auto& name : packages) {
    if (!installed.contains(name)) out.emplace_back(name);
  }
  return out;
}

}  // namespace vorpel::commands
