#include "core/activation/plan_application.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_set>

#include <fmt/format.h>

#include "core/activation/file_tree.hpp"
#include "core/activation/file_tree_detail.hpp"
#include "core/storage/atomic_file.hpp"
#include "core/storage/dir_listing.hpp"
#include "core/storage/directories.hpp"
#include "core/storage/file_kind.hpp"
#include "core/storage/path_rules.hpp"
#include "core/storage/path_text.hpp"
#include "core/storage/system_path.hpp"

namespace vorpel {
namespace {

constexpr std::size_t kBackupsKept = 5;

using detail::ParentDir;

std::unexpected<CoreError> escapes_home(const std::string& path) {
  return fail(fmt::format("backup target {} escapes HOME", display_path(path)));
}

struct Candidate {
  const std::string* path;
  std::vector<PathComponent> components;
};

// In HOME component by component, HOME itself included. A ".." below HOME
// could lead anywhere, so it counts as leaving it.
bool lies_in_home(const std::vector<PathComponent>& path, const std::vector<PathComponent>& home) {
  if (path.size() < home.size() || !std::equal(home.begin(), home.end(), path.begin())) return false;
  return std::all_of(path.begin() + static_cast<std::ptrdiff_t>(home.size()), path.end(),
                     [](const PathComponent& c) { return c.kind == ComponentKind::Name; });
}

// One text per component sequence, so that paths equal by components meet
// in a hash set: each component followed by "/", a root as nothing.
void append_key(std::string& key, const PathComponent& c) {
  switch (c.kind) {
    case ComponentKind::Root: break;
    case ComponentKind::CurDir: key += '.'; break;
    case ComponentKind::ParentDir: key += ".."; break;
    case ComponentKind::Name: key += c.name; break;
  }
  key += '/';
}

// The existing candidates, shallowest first, each unless a path chosen
// before it already holds it.
std::vector<const std::string*> choose_backup_paths(const std::vector<Candidate>& candidates) {
  std::vector<const std::string*> chosen;
  std::unordered_set<std::string> chosen_keys;
  std::string key;
  for (const auto& candidate : candidates) {
    if (!exists_no_follow(*candidate.path)) continue;
    key.clear();
    bool held = false;
    for (const auto& c : candidate.components) {
      append_key(key, c);
      if (chosen_keys.contains(key)) {
        held = true;
        break;
      }
    }
    if (held) continue;
    chosen_keys.insert(key);
    chosen.push_back(candidate.path);
  }
  return chosen;
}

Result<std::string> backup_name() {
  const auto nanos = detail::epoch_nanos();
  if (!nanos) return std::unexpected(nanos.error());
  return fmt::format("{}-{}", detail::decimal(*nanos), ::getpid());
}

// Copies and moves run one after another into the same directory more
// often than not; one that succeeded left its target's parent in place, so
// the next target with the same parent need not create it again.
class ParentTracker {
 public:
  ParentDir before(const std::string& target) {
    current_ = parent_path(target);
    return current_ && previous_ && *current_ == *previous_ ? ParentDir::Exists : ParentDir::Unknown;
  }
  void succeeded() { previous_ = std::move(current_); }

 private:
  std::optional<std::string> previous_;
  std::optional<std::string> current_;
};

// A chosen path that the backup moved out of HOME whole.
struct MovedPath {
  std::string home;    // where it was
  std::string backup;  // where it is now
};

// Moves `from` to `to` with one rename, never over anything at `to`. False
// when the system declines (another file system, a mount point, a directory
// it may not re-parent, any other error); the caller copies then.
bool move_whole(const std::string& from, const std::string& to) {
  return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

// Puts back what a failed backup moved, the last move first, so that HOME
// is as the application found it. A path that cannot go back stays in the
// backup directory, where retention is the only thing that removes it.
void move_back(const std::vector<MovedPath>& moved) {
  for (auto it = moved.rbegin(); it != moved.rend(); ++it) move_whole(it->backup, it->home);
}

// Each chosen path goes to its place below `backup_home`: moved there whole
// where the system allows, which costs no copy and leaves nothing for the
// removals after the backup to do, copied otherwise. Whatever the copy
// would refuse is refused before the path moves.
Status back_up_paths(const std::vector<const std::string*>& chosen, const std::string& home,
                     const std::string& backup_home, detail::DirIdentity state_identity,
                     std::vector<MovedPath>& moved) {
  ParentTracker parents;
  for (const std::string* path : chosen) {
    const auto relative = strip_path_prefix(*path, home);
    if (!relative) return escapes_home(*path);
    const std::string target = join_path(backup_home, *relative);
    if (auto checked = detail::check_backup_tree(*path, state_identity); !checked) return checked;
    if (parents.before(target) == ParentDir::Unknown) {
      if (auto made = ensure_parent_dir(target); !made) return made;
    }
    // Without a final "/", which would have the system follow a link there.
    std::string from = trim_path_end(*path);
    std::string to = trim_path_end(target);
    if (move_whole(from, to)) {
      moved.push_back(MovedPath{std::move(from), std::move(to)});
    } else if (auto copied = detail::copy_backup_tree(*path, target, ParentDir::Exists, state_identity); !copied) {
      return copied;
    }
    parents.succeeded();
  }
  return {};
}

struct NewBackup {
  std::string path;
  std::string name;  // its entry in "backups"
};

Result<NewBackup> make_backup(const std::vector<const std::string*>& chosen, const std::string& home,
                              const std::string& state_path) {
  const auto state_dir = parent_path(state_path);
  if (!state_dir) return fail("state path has no parent");
  // The state directory may lie behind a link; "backups" and the backup in
  // it are the tool's own names and are never followed.
  if (auto made = make_private_directory(*state_dir); !made) return std::unexpected(std::move(made.error()));
  const std::string backups = join_path(*state_dir, "backups");
  if (auto made = create_private_dir(backups); !made) return std::unexpected(std::move(made.error()));
  // The backup lies in the state directory, so a copy entering it would
  // copy itself; the planner keeps it out of every plan, and the backup
  // refuses it should it turn up all the same.
  struct stat state_st {};
  if (::stat(state_dir->c_str(), &state_st) != 0) return fail_errno(*state_dir);
  const detail::DirIdentity state_identity{state_st.st_dev, state_st.st_ino};
  auto name = backup_name();
  if (!name) return std::unexpected(std::move(name.error()));
  std::string backup = join_path(backups, *name);
  if (auto made = create_private_dir(backup); !made) return std::unexpected(std::move(made.error()));

  std::vector<MovedPath> moved;
  if (auto backed_up = back_up_paths(chosen, home, join_path(backup, "home"), state_identity, moved); !backed_up) {
    move_back(moved);
    return std::unexpected(std::move(backed_up.error()));
  }
  return NewBackup{std::move(backup), std::move(*name)};
}

// Keeps the five entries of "backups" with the greatest names, whatever
// their kind, and always the backup just made: stray names or a clock set
// back can sort it among the oldest, and it holds the only copy of what
// this application overwrote.
Status trim_backups(const std::string& state_path, std::string_view new_backup) {
  const std::string backups = join_path(*parent_path(state_path), "backups");
  if (auto checked = check_path_io(backups); !checked) return checked;
  // A link at "backups" is refused, as at its creation: trimming through it
  // would delete files elsewhere.
  auto dir = detail::read_directory_at(AT_FDCWD, backups.c_str(), detail::FinalLink::Refuse);
  if (!dir) return fail_io(backups, std::move(dir.error()));
  dir->dir.reset();  // only the names are needed
  const detail::DirListing& listing = dir->listing;
  const auto& entries = listing.entries();
  if (entries.size() <= kBackupsKept) return {};
  std::size_t excess = entries.size() - kBackupsKept;
  for (std::size_t i = 0; i < entries.size() && excess > 0; ++i) {
    const std::string_view name = listing.name(entries[i]);
    if (name == new_backup) continue;
    if (auto removed = detail::remove_backup(join_path(backups, name)); !removed) return removed;
    --excess;
  }
  return {};
}

}  // namespace

Status create_private_dir(const std::string& path) { return make_private_directory(path, LinkAtName::Refuse); }

Result<std::optional<std::string>> apply_activation_plan(const ActivationPlan& plan, const std::string& home,
                                                         const std::string& state_path) {
  std::vector<Candidate> candidates;
  candidates.reserve(plan.removed.size() + plan.written.size());
  for (const auto& path : plan.removed) candidates.push_back(Candidate{&path, path_components(path)});
  for (const auto& write : plan.written) candidates.push_back(Candidate{&write.target, path_components(write.target)});
  std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
    return a.components.size() < b.components.size();
  });

  // Every candidate is checked before anything on disk is touched.
  const auto home_components = path_components(home);
  for (const auto& candidate : candidates) {
    if (!lies_in_home(candidate.components, home_components)) return escapes_home(*candidate.path);
  }

  std::optional<NewBackup> backup;
  if (const auto chosen = choose_backup_paths(candidates); !chosen.empty()) {
    auto made = make_backup(chosen, home, state_path);
    if (!made) return std::unexpected(std::move(made.error()));
    backup = std::move(*made);
  }

  for (const auto& path : plan.removed) {
    if (auto removed = remove_path(path); !removed) return std::unexpected(std::move(removed.error()));
  }
  // Each target is replaced whole: what was there goes first, so nothing
  // of it survives in a directory written over it.
  ParentTracker parents;
  for (const auto& write : plan.written) {
    if (auto removed = remove_path(write.target); !removed) return std::unexpected(std::move(removed.error()));
    if (auto copied = detail::copy_profile_content(write.source, write.target, parents.before(write.target));
        !copied) {
      return std::unexpected(std::move(copied.error()));
    }
    parents.succeeded();
  }

  if (!backup) return std::nullopt;
  if (auto trimmed = trim_backups(state_path, backup->name); !trimmed) {
    return std::unexpected(std::move(trimmed.error()));
  }
  return std::move(backup->path);
}

}  // namespace vorpel
