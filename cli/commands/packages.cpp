#include "cli/commands/packages.hpp"

#include <optional>

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

// pacman's own texts, which are parsed, are the untranslated ones only.
const std::string kCLocale[] = {"LC_ALL=C"};

// Runs a pacman query with its output captured. `context` names it when
// pacman cannot be started: "query {} with pacman".
CommandResult<CapturedRun> run_pacman_query(std::span<const std::string> args, std::string_view context) {
  auto run = run_captured("pacman", args, kCLocale);
  if (!run) {
    return std::unexpected(CommandError::from(run.error()).context(fmt::format("query {} with pacman", context)));
  }
  return std::move(*run);
}

// The names a query printed, one a line; the output must be UTF-8.
CommandResult<std::vector<std::string>> output_names(std::string_view out) {
  Utf8Fault fault{};
  if (!check_utf8(out, fault)) return command_fail(utf8_error_text(fault));
  std::vector<std::string> names;
  for (std::string_view name : parse_installed_package_lines(out)) names.emplace_back(name);
  return names;
}

// The names of a successful query's output. `failure` names the query in
// "pacman {} failed with ...".
CommandResult<std::vector<std::string>> query_names(std::span<const std::string> args, std::string_view context,
                                                    std::string_view failure) {
  auto run = run_pacman_query(args, context);
  if (!run) return std::unexpected(std::move(run.error()));
  if (!run->status.success()) {
    return command_fail(fmt::format("pacman {} failed with {}: {}", failure, run->status.text(),
                                    trim_white_space(display_path(run->err))));
  }
  return output_names(run->out);
}

// The package names `pacman -S` would install for `names`, without their
// dependencies (-dd); --noconfirm takes every member of a group rather
// than asking. Empty when pacman cannot resolve one of the names.
CommandResult<std::optional<std::vector<std::string>>> resolved_targets(std::span<const std::string> names) {
  std::vector<std::string> args{"-Sp", "--print-format", "%n", "-dd", "--noconfirm", "--"};
  args.insert(args.end(), names.begin(), names.end());
  auto run = run_pacman_query(args, "package names");
  if (!run) return std::unexpected(std::move(run.error()));
  if (!run->status.success()) return std::optional<std::vector<std::string>>{};
  auto targets = output_names(run->out);
  if (!targets) return std::unexpected(std::move(targets.error()));
  return std::optional(std::move(*targets));
}

}  // namespace

CommandResult<PackageSet> query_installed_packages() {
  static const std::string kArgs[] = {"-Qq"};
  auto names = query_names(kArgs, "installed packages", "package query");
  if (!names) return std::unexpected(std::move(names.error()));
  return PackageSet(names->begin(), names->end());
}

CommandResult<void> refuse_non_package_names(std::span<const std::string> names) {
  if (names.empty()) return {};
  auto all = resolved_targets(names);
  if (!all) return std::unexpected(std::move(all.error()));
  if (!*all) return {};
  const PackageSet targets((*all)->begin(), (*all)->end());
  std::vector<std::string> refused;
  PackageSet seen;
  for (const auto& name : names) {
    if (targets.contains(name) || !seen.insert(name).second) continue;
    // Rare, so each such name is asked about on its own to tell what it
    // stands for. One that stands for nothing (a package the configuration
    // ignores, say) is left to pacman, which asks the user about it.
    auto own = resolved_targets(std::span(&name, 1));
    if (!own) return std::unexpected(std::move(own.error()));
    if (*own && !(*own)->empty()) refused.push_back(fmt::format("{} resolves to {}", name, fmt::join(**own, ", ")));
  }
  if (refused.empty()) return {};
  return command_fail(fmt::format("Profiles declare package names, not groups or provided names: {}",
                                  fmt::join(refused, "; ")));
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

CommandResult<void> verify_packages(std::span<const std::string> packages, const PackageSet& installed) {
  const auto missing = missing_packages(packages, installed);
  if (missing.empty()) return {};
  return command_fail(fmt::format("Profile packages are not installed: {}", fmt::join(missing, ", ")));
}

std::map<std::string, PackageSet> parse_broken_dependencies(std::string_view text) {
  static constexpr std::string_view kStart = ":: removing ";
  static constexpr std::string_view kBreaks = " breaks dependency '";
  static constexpr std::string_view kBy = "' required by ";
  std::map<std::string, PackageSet> out;
  for (std::string_view line : parse_installed_package_lines(text)) {
    if (!line.starts_with(kStart)) continue;
    line.remove_prefix(kStart.size());
    const std::size_t breaks = line.find(kBreaks);
    const std::size_t by = line.rfind(kBy);
    if (breaks == std::string_view::npos || by == std::string_view::npos || by < breaks) continue;
    out[std::string(line.substr(0, breaks))].emplace(line.substr(by + kBy.size()));
  }
  return out;
}

CommandResult<RemovalCheck> check_removal(std::span<const std::string> targets) {
  // -Rsp: pacman refuses --nosave together with --print, and it does not
  // change what is removed.
  std::vector<std::string> args{"-Rsp", "--print-format", "%n", "--"};
  args.insert(args.end(), targets.begin(), targets.end());
  auto run = run_pacman_query(args, "removable packages");
  if (!run) return std::unexpected(std::move(run.error()));
  RemovalCheck check;
  if (run->status.success()) {
    auto removed = output_names(run->out);
    if (!removed) return std::unexpected(std::move(removed.error()));
    check.removed.insert(removed->begin(), removed->end());
    return check;
  }
  // Only a refusal naming targets is an answer; anything else is a failure.
  const std::string err = display_path(run->err);
  const PackageSet wanted(targets.begin(), targets.end());
  for (auto& [name, by] : parse_broken_dependencies(display_path(run->out) + "\n" + err)) {
    if (wanted.contains(name)) check.refused.emplace(name, std::move(by));
  }
  if (check.refused.empty()) {
    return command_fail(
        fmt::format("pacman removal check failed with {}: {}", run->status.text(), trim_white_space(err)));
  }
  return check;
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
