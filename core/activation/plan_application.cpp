#include "core/activation/plan_application.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>

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

// The candidates that existed when the application started, shallowest
// first, each unless a path chosen before it already holds it. Every one is
// checked before anything changes; each leaves HOME at the step that first
// removes it or a path below it.
class ChosenPaths {
 public:
  struct Path {
    const std::string* path;
    bool copy_only = false;  // holds a file with more links: copied, never moved
  };

  // Fails for a candidate whose status cannot be read for another reason
  // than its absence (a file where a directory is needed on its way, a
  // directory that cannot be searched): its own step would fail with that
  // error, so it fails before anything changes. One that a chosen path
  // holds is no such case, as that path leaves first.
  static Result<ChosenPaths> choose(const std::vector<Candidate>& candidates) {
    ChosenPaths out;
    for (const auto& candidate : candidates) {
      if (out.held(candidate.components)) continue;
      if (auto checked = check_path_io(*candidate.path); !checked) return std::unexpected(std::move(checked.error()));
      struct stat st {};
      if (::lstat(trim_path_end(*candidate.path).c_str(), &st) != 0) {
        if (errno == ENOENT) continue;
        return fail_errno(*candidate.path);
      }
      out.keys_.emplace(out.key_, out.chosen_.size());
      out.chosen_.push_back(Path{candidate.path});
    }
    return out;
  }

  std::vector<Path>& all() { return chosen_; }

  // The chosen path at or above `path`, or none.
  const Path* covering(const std::string& path) {
    if (chosen_.empty()) return nullptr;
    const auto found = held(path_components(path));
    return found ? &chosen_[*found] : nullptr;
  }

 private:
  // The chosen path equal to or above `components`; key_ is left as the
  // key of all of them.
  std::optional<std::size_t> held(const std::vector<PathComponent>& components) {
    key_.clear();
    for (const auto& c : components) {
      append_key(key_, c);
      if (const auto it = keys_.find(key_); it != keys_.end()) return it->second;
    }
    return std::nullopt;
  }

  std::vector<Path> chosen_;
  std::unordered_map<std::string, std::size_t> keys_;
  std::string key_;
};

// The longest name backup_name gives: the nanoseconds since the epoch
// (19 digits until 2286), "-" and a process id (at most 7 digits).
constexpr std::size_t kLongestBackupName = 19 + 1 + 7;

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

// Moves `from` to `to` with one rename, never over anything at `to`. False
// when the system declines (another file system, a directory it may not
// re-parent, something at `to` already, any other error); the caller
// copies then.
bool move_whole(const std::string& from, const std::string& to) {
  return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0;
}

// The backup directory of one application: made before HOME changes,
// filled step by step, and removed again when nothing went into it.
class Backup {
 public:
  static Result<Backup> make(const std::string& state_path) {
    const auto state_dir = parent_path(state_path);
    if (!state_dir) return fail("state path has no parent");
    // The state directory may lie behind a link; "backups" and the backup
    // in it are the tool's own names and are never followed.
    if (auto made = make_private_directory(*state_dir); !made) return std::unexpected(std::move(made.error()));
    const std::string backups = join_path(*state_dir, "backups");
    if (auto made = create_private_dir(backups); !made) return std::unexpected(std::move(made.error()));
    // The backup lies in the state directory, so a copy entering it would
    // copy itself; the planner keeps it out of every plan, and the backup
    // refuses it should it turn up all the same.
    struct stat state_st {};
    if (::stat(state_dir->c_str(), &state_st) != 0) return fail_errno(*state_dir);
    auto name = backup_name();
    if (!name) return std::unexpected(std::move(name.error()));
    std::string path = join_path(backups, *name);
    // Made but not narrowed to the owner (an I/O error), it holds nothing
    // and would outlive the failure: it goes again.
    const bool existed = exists_no_follow(path);
    if (auto made = create_private_dir(path); !made) {
      if (!existed) (void)::rmdir(path.c_str());
      return std::unexpected(std::move(made.error()));
    }
    return Backup(std::move(path), std::move(*name), detail::DirIdentity{state_st.st_dev, state_st.st_ino});
  }

  const std::string& path() const { return path_; }
  const std::string& name() const { return name_; }
  detail::DirIdentity state_identity() const { return state_identity_; }

  // Takes what is at `path` into the backup at `relative` below "home":
  // moved there where the system allows and `copy_only` does not forbid,
  // copied otherwise (onto what an earlier step put there, merging).
  // Returns whether it moved, so that nothing is left in HOME to remove.
  Result<bool> take(const std::string& path, const std::string& relative, bool copy_only) {
    const std::string target = join_path(home_, relative);
    if (parents_.before(target) == ParentDir::Unknown) {
      if (auto made = ensure_parent_dir(target); !made) return std::unexpected(std::move(made.error()));
    }
    parents_.succeeded();
    // Without a final "/", which would have the system follow a link there.
    if (!copy_only && move_whole(trim_path_end(path), trim_path_end(target))) {
      holds_ = true;
      return true;
    }
    const bool fresh = !exists_no_follow(target);
    if (auto copied = detail::copy_backup_tree(path, target, ParentDir::Exists, state_identity_); !copied) {
      // HOME still holds all of it: a partial copy would only mislead.
      if (fresh) (void)detail::remove_backup(target);
      return std::unexpected(std::move(copied.error()));
    }
    holds_ = true;
    return false;
  }

  // Whether the backup directory remains to be named: one that nothing
  // went into is removed (and named all the same should that fail).
  bool keep_if_filled() {
    if (!holds_) holds_ = !detail::remove_backup(path_);
    return holds_;
  }

 private:
  Backup(std::string path, std::string name, detail::DirIdentity state_identity)
      : path_(std::move(path)), name_(std::move(name)), home_(join_path(path_, "home")),
        state_identity_(state_identity) {}

  std::string path_;
  std::string name_;  // its entry in "backups"
  std::string home_;
  detail::DirIdentity state_identity_;
  ParentTracker parents_;
  bool holds_ = false;
};

// A backup directory that holds nothing, or only an empty "home": what a
// failed application of an earlier version could leave behind.
bool is_empty_backup(int backups_fd, const char* name) {
  auto dir = detail::read_directory_at(backups_fd, name);
  if (!dir) return false;  // not a directory, or unreadable: it counts
  const auto& entries = dir->listing.entries();
  if (entries.empty()) return true;
  if (entries.size() != 1 || dir->listing.name(entries[0]) != "home") return false;
  const auto home = detail::read_directory_at(dir->fd(), "home");
  return home && home->listing.entries().empty();
}

// Keeps the five entries of "backups" with the greatest names, whatever
// their kind, and always the backup just made: stray names or a clock set
// back can sort it among the oldest, and it holds the only copy of what
// this application overwrote. Empty backup directories are not counted.
// What cannot be removed is left in place and returned: the switch it
// follows is complete, and undoing it would lose more than an old backup.
std::vector<KeptBackup> trim_backups(const std::string& state_path, std::string_view new_backup) {
  const std::string backups = join_path(*parent_path(state_path), "backups");
  if (auto checked = check_path_io(backups); !checked) return {KeptBackup{backups, std::move(checked.error())}};
  // A link at "backups" is refused, as at its creation: trimming through it
  // would delete files elsewhere.
  auto dir = detail::read_directory_at(AT_FDCWD, backups.c_str(), detail::FinalLink::Refuse);
  if (!dir) return {KeptBackup{backups, core_io_error(backups, std::move(dir.error()))}};
  const detail::DirListing& listing = dir->listing;
  std::vector<std::string_view> counted;
  for (const auto& entry : listing.entries()) {
    const std::string_view name = listing.name(entry);
    if (name == new_backup || is_empty_backup(dir->fd(), listing.c_name(entry))) continue;
    counted.push_back(name);
  }
  std::vector<KeptBackup> kept;
  // The new backup is one of the five.
  for (std::size_t i = 0; i + kBackupsKept < counted.size() + 1; ++i) {
    std::string path = join_path(backups, counted[i]);
    if (auto removed = detail::remove_backup(path); !removed) {
      kept.push_back(KeptBackup{std::move(path), std::move(removed.error())});
    }
  }
  return kept;
}

// Fails for a path the application may take into the backup (a chosen
// one, or one below it that a step names) whose place there would not fit
// a system call, as if the backup had the longest name it can have: the
// answer must not depend on the name the backup then gets.
Status check_backup_places(ChosenPaths& chosen, const ActivationPlan& plan, const std::string& home,
                           const std::string& state_path) {
  if (chosen.all().empty()) return {};
  const auto state_dir = parent_path(state_path);
  if (!state_dir) return fail("state path has no parent");
  const std::string backup_home =
      join_path(join_path(join_path(*state_dir, "backups"), std::string(kLongestBackupName, '0')), "home");
  const long name_max = longest_name_at(backup_home);
  const auto check = [&](const std::string& path) -> Status {
    if (chosen.covering(path) == nullptr) return {};
    const auto relative = strip_path_prefix(path, home);
    if (!relative) return escapes_home(path);
    if (check_path_fits(join_path(backup_home, *relative), *relative, name_max)) return {};
    return fail_io(path, OsError::custom("its place in the backup would be longer than the system allows"));
  };
  for (const auto& path : plan.removed) {
    if (auto checked = check(path); !checked) return checked;
  }
  for (const auto& write : plan.written) {
    if (auto checked = check(write.target); !checked) return checked;
  }
  return {};
}

// The plan's existing paths to take into the backup, after refusing any
// that lies outside HOME, whose status cannot be read or whose place in the
// backup would be too long.
Result<ChosenPaths> choose_paths(const ActivationPlan& plan, const std::string& home,
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
  auto chosen = ChosenPaths::choose(candidates);
  if (!chosen) return chosen;
  if (auto fits = check_backup_places(*chosen, plan, home, state_path); !fits) return std::unexpected(fits.error());
  return chosen;
}

// Refuses what the backup or the removal of a chosen path could not do,
// and notes which paths may only be copied.
Status check_chosen_paths(ChosenPaths& chosen, std::optional<detail::DirIdentity> state_identity) {
  for (auto& path : chosen.all()) {
    auto facts = detail::check_backup_tree(*path.path, state_identity);
    if (!facts) return std::unexpected(std::move(facts.error()));
    path.copy_only = facts->multi_link;
  }
  return {};
}

}  // namespace

Status check_activation_plan(const ActivationPlan& plan, const std::string& home, const std::string& state_path) {
  auto chosen = choose_paths(plan, home, state_path);
  if (!chosen) return std::unexpected(std::move(chosen.error()));
  if (chosen->all().empty()) return {};
  const auto state_dir = parent_path(state_path);
  if (!state_dir) return fail("state path has no parent");
  // A state directory still to be made lies in no tree of HOME: the plan
  // keeps its targets clear of it.
  std::optional<detail::DirIdentity> state_identity;
  struct stat st {};
  if (::stat(state_dir->c_str(), &st) == 0) {
    state_identity = detail::DirIdentity{st.st_dev, st.st_ino};
  } else if (errno != ENOENT) {
    return fail_errno(*state_dir);
  }
  return check_chosen_paths(*chosen, state_identity);
}

Status create_private_dir(const std::string& path) { return make_private_directory(path, LinkAtName::Refuse); }

std::expected<AppliedPlan, FailedApplication> apply_activation_plan(const ActivationPlan& plan,
                                                                    const std::string& home,
                                                                    const std::string& state_path) {
  // Every refusal comes before the first change in HOME: the backup
  // directory made so far goes again, as it holds nothing.
  auto chosen_paths = choose_paths(plan, home, state_path);
  if (!chosen_paths) return std::unexpected(FailedApplication{std::move(chosen_paths.error()), std::nullopt});
  ChosenPaths& chosen = *chosen_paths;
  std::optional<Backup> backup;
  if (!chosen.all().empty()) {
    auto made = Backup::make(state_path);
    if (!made) return std::unexpected(FailedApplication{std::move(made.error()), std::nullopt});
    backup.emplace(std::move(*made));
    if (auto checked = check_chosen_paths(chosen, backup->state_identity()); !checked) {
      backup->keep_if_filled();
      return std::unexpected(FailedApplication{std::move(checked.error()), std::nullopt});
    }
  }
  const auto failed = [&](CoreError error) {
    std::optional<std::string> named;
    if (backup && backup->keep_if_filled()) named = backup->path();
    return std::unexpected(FailedApplication{std::move(error), std::move(named)});
  };

  // Each path leaves HOME at its own step, into the backup when it existed
  // at the start, so that a failure leaves every later path as it was.
  const auto take_out = [&](const std::string& path) -> Status {
    const ChosenPaths::Path* covering = chosen.covering(path);
    if (covering == nullptr) return remove_path(path);
    // Below a chosen path nothing is there also when a file stands where
    // the path needs a directory: the chosen one leaves whole.
    struct stat st {};
    if (::lstat(trim_path_end(path).c_str(), &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) return {};
      return fail_errno(path);
    }
    const auto relative = strip_path_prefix(path, home);
    if (!relative) return escapes_home(path);
    auto moved = backup->take(path, *relative, covering->copy_only);
    if (!moved) return std::unexpected(std::move(moved.error()));
    if (*moved) return {};
    return remove_path(path);
  };
  for (const auto& path : plan.removed) {
    if (auto removed = take_out(path); !removed) return failed(std::move(removed.error()));
  }
  // Each target is replaced whole: what was there goes first, so nothing
  // of it survives in a directory written over it.
  ParentTracker parents;
  for (const auto& write : plan.written) {
    if (auto removed = take_out(write.target); !removed) return failed(std::move(removed.error()));
    if (auto copied = detail::copy_profile_content(write.source, write.target, parents.before(write.target));
        !copied) {
      return failed(std::move(copied.error()));
    }
    parents.succeeded();
  }

  if (!backup || !backup->keep_if_filled()) return AppliedPlan{};
  return AppliedPlan{backup->path(), trim_backups(state_path, backup->name())};
}

}  // namespace vorpel
