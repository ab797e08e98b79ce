// `validate PROFILE_ROOT`: checks every Profile declaration below a root
// with the catalogue's own rules.
#include <fmt/format.h>

#include "cli/commands/commands.hpp"
#include "cli/commands/reports.hpp"
#include "core/storage/catalog.hpp"
#include "core/storage/path_text.hpp"

namespace vorpel::commands {

CommandResult<int> validate(const std::string& profile_root) {
  auto catalog = load_profile_catalog(profile_root);
  if (!catalog) return command_fail(catalog.error());

  // write_stdout flushes each line, so the valid lines come first also when
  // both streams share a file.
  for (const auto& [id, profile] : catalog->profiles) write_stdout(fmt::format("validated profile {}\n", id));
  if (!catalog->rejected.empty()) {
    for (const auto& rejected : catalog->rejected) write_stderr(invalid_profile_line(rejected));
    return 2;
  }
  if (catalog->profiles.empty()) {
    write_stderr(fmt::format("no profiles found under {}\n", display_path(profile_root)));
    return 2;
  }
  return 0;
}

}  // namespace vorpel::commands
