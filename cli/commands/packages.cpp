#include "cli/commands/packages.hpp"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "cli/commands/child_process.hpp"
#include "core/storage/path_text.hpp"

namespace vorpel::commands {

namespace {

bool is_white_space(char32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0:
    case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The code point of the valid UTF-8 sequence `seq`.
char32_t decode(std::string_view seq) {
  const auto lead = static_cast<unsigned char>(seq[0]);
  if (seq.size() == 1) return lead;
  char32_t c = lead & (0xFF >> (seq.size() + 1));
  for (std::size_t i = 1; i < seq.size(); ++i) c = (c << 6) | (static_cast<unsigned char>(seq[i]) & 0x3F);
  return c;
}

std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  return 2;
}

// Trims characters with the White_Space property from both ends of valid
// UTF-8 text.
std::string_view trim_white_space(std::string_view text) {
  while (!text.empty()) {
    const std::size_t n = std::min(sequence_length(static_cast<unsigned char>(text[0])), text.size());
    if (!is_white_space(decode(text.substr(0, n)))) break;
    text.remove_prefix(n);
  }
  while (!text.empty()) {
    std::size_t start = text.size() - 1;
    while (start > 0 && is_continuation(static_cast<unsigned char>(text[start]))) --start;
    if (!is_white_space(decode(text.substr(start)))) break;
    text.remove_suffix(text.size() - start);
  }
  return text;
}

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

CommandResult<PackageSet> query_installed_packages() {
  static const std::string kArgs[] = {"-Qq"};
  auto run = run_captured("pacman", kArgs);
  if (!run) return std::unexpected(CommandError::from(run.error()).context("query installed packages with pacman"));
  if (!run->status.success()) {
    const std::string err = display_path(run->err);
    return command_fail(
        fmt::format("pacman package query failed with {}: {}", run->status.text(), trim_white_space(err)));
  }
  Utf8Fault fault{};
  if (!check_utf8(run->out, fault)) return command_fail(utf8_error_text(fault));
  PackageSet installed;
  for (std::string_view name : parse_installed_package_lines(run->out)) installed.emplace(name);
  return installed;
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
