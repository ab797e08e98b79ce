// Variants of the tree operations for plan application, whose copies often write many targets into one
// directory in a row. Not part of the activation engine's interface.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "core/storage/core_error.hpp"
#include "core/storage/path_rules.hpp"

namespace vorpel::detail {

// What the caller knows about the parent directory of a copy's target.
enum class ParentDir {
  Unknown,  // created with missing ancestors when a file or link needs it
  Exists,   // made (or found a directory) by an earlier step of the caller
};

// A directory as the system knows it, wherever paths lead to it.
struct DirIdentity {
  dev_t dev;
  ino_t ino;
};

// copy_backup_tree and copy_profile_content; with ParentDir::Exists the
// creation of the target's parent, which would find it in place and change
// nothing, is left out. The backup copy fails with an `Io` error for the
// first source directory that is `never_enter` (the directory the backup
// is written into) instead of copying a tree into itself.
Status copy_backup_tree(const std::string& source, const std::string& target, ParentDir parent,
                        std::optional<DirIdentity> never_enter = std::nullopt);
Status copy_profile_content(const std::string& source, const std::string& target, ParentDir parent);

// What the check of a tree found that decides how it may go into a backup.
struct BackupFacts {
  bool multi_link = false;  // it holds a regular file with more than one link
};

// Refuses what copy_backup_tree of `source` and then remove_path of it
// could not do, reading kinds and bits and opening no file: a pipe, socket
// or device anywhere in it ("unsupported backup target {}"), `never_enter`,
// a mount point at or below it, a file or directory the running user could
// not read, a directory holding entries that the user could not remove (for
// want of permissions, or in a sticky directory of another user), an
// immutable or append-only entry, a parent that would not let `source` go,
// a tree deeper than the descriptors left let the copy go.
// The answer does not depend on whether the tree is then moved or copied.
Result<BackupFacts> check_backup_tree(const std::string& source, std::optional<DirIdentity> never_enter);

// collect_content_files over all of `root` that leaves out the files at or
// below a `covered` path: they are still walked, so whatever could not be
// installed fails the same way, but a large managed tree costs no memory.
Status collect_uncovered_files(const std::string& root, std::vector<std::string>& files, const PathSet& covered);

// Fails as collect_content_files of `directory` would, and where copying
// its tree later could not: a file the user cannot read, a tree deeper
// than the open descriptors allow. Lists nothing.
Status check_content_tree(const std::string& directory);

// remove_path for an old backup: a directory in it without owner
// permissions (copied so from HOME) gets them before its entries go. Like
// remove_path it never enters another file system or mount.
Status remove_backup(const std::string& path);

}  // namespace vorpel::detail
