#include "core/activation/managed_snapshot.hpp"

#include "core/activation/file_tree.hpp"
#include "core/storage/directories.hpp"
#include "core/storage/path_rules.hpp"

namespace vorpel {

Result<std::string> managed_snapshot_dir(const std::string& state_path, const std::string& id) {
  const auto state_dir = parent_path(state_path);
  if (!state_dir) return fail("state path has no parent");
  return join_path(join_path(join_path(*state_dir, "profiles"), id), "managed");
}

Status refresh_managed_snapshot(const Profile& profile, const std::string& snapshot_dir) {
  // The old snapshot goes whole, so a path the Profile no longer manages
  // leaves no copy behind.
  if (auto removed = remove_path(snapshot_dir); !removed) return removed;
  if (auto made = create_directories(snapshot_dir); !made) return fail_io(snapshot_dir, std::move(made.error()));
  for (const auto& managed : profile.manage) {
    auto copied =
        copy_profile_content(join_path(profile.content_root, managed), join_path(snapshot_dir, managed));
    if (!copied) return copied;
  }
  return {};
}

}  // namespace vorpel
