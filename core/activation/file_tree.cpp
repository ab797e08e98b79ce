#include "core/activation/file_tree.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

#include "core/activation/file_tree_detail.hpp"
#include "core/storage/dir_listing.hpp"
#include "core/storage/directories.hpp"
#include "core/storage/file_kind.hpp"
#include "core/storage/open_file_limit.hpp"
#include "core/storage/path_rules.hpp"
#include "core/storage/path_text.hpp"
#include "core/storage/system_path.hpp"
#include "core/storage/unique_fd.hpp"

// The walks open each directory once and work relative to its descriptor,
// never re-resolving a long path per entry; every name is opened with
// O_NOFOLLOW (or read with AT_SYMLINK_NOFOLLOW), so a symbolic link met
// anywhere is handled as the link itself. Paths are kept as text only for
// the messages.

namespace vorpel {
namespace {

using detail::DirListing;
using detail::ParentDir;

constexpr mode_t kPermissionBits = 07777;


// A place for the *at calls: a directory descriptor and a name in it, or
// AT_FDCWD and a whole path at the top of an operation.
struct At {
  int dir;
  const char* name;
};

bool stat_at(At at, struct stat& st) { return ::fstatat(at.dir, at.name, &st, AT_SYMLINK_NOFOLLOW) == 0; }

// The text of the path a walk is at, for messages: one buffer that each
// level of the walk cuts back to its own directory's text before it appends
// the name of its next entry.
class PathText {
 public:
  explicit PathText(std::string_view base) : text_(base) {}
  const std::string& str() const { return text_; }
  std::size_t size() const { return text_.size(); }
  // The directory whose text is `size` bytes long.
  const std::string& at_directory(std::size_t size) {
    text_.resize(size);
    return text_;
  }
  // The entry `name` of that directory.
  void at_entry(std::size_t size, std::string_view name) {
    text_.resize(size);
    append_path(text_, name);
  }

 private:
  std::string text_;
};

std::unexpected<CoreError> fail_path(std::string_view format_text, std::string_view path) {
  return fail(fmt::format(fmt::runtime(format_text), display_path(path)));
}

// The next entry of the innermost level of a walk, after dropping the levels
// whose entries are all visited; null once the walk is over. A level has
// its listed directory in `dir` and the index of its next entry in `next`.
template <class Level>
const DirListing::Entry* next_entry(std::vector<Level>& levels) {
  while (!levels.empty()) {
    Level& level = levels.back();
    const auto& entries = level.dir.listing.entries();
    if (level.next < entries.size()) return &entries[level.next++];
    levels.pop_back();
  }
  return nullptr;
}

// --- bytes of a regular file -------------------------------------------------

std::expected<void, OsError> copy_by_reading(int in, int out) {
  constexpr std::size_t kBufferSize = std::size_t{1} << 17;
  const auto buffer = std::make_unique<char[]>(kBufferSize);
  while (true) {
    const ssize_t got = ::read(in, buffer.get(), kBufferSize);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError::last());
    }
    if (got == 0) return {};
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(out, buffer.get() + done, static_cast<std::size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        return std::unexpected(OsError::last());
      }
      done += put;
    }
  }
}

// Errors with which the kernel declines copy_file_range for this pair of
// files (another file system, a file system without support, an old
// kernel); the plain loop does the work then.
bool kernel_copy_declined(int err) {
  return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == EPERM || err == EBADF;
}

// Both descriptors are at offset 0.
std::expected<void, OsError> copy_bytes(int in, int out) {
  constexpr std::size_t kChunk = std::size_t{1} << 30;
  bool copied_any = false;
  while (true) {
    const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, kChunk, 0);
    if (n > 0) {
      copied_any = true;
      continue;
    }
    if (n == 0) {
      // Some file systems (procfs and the like) claim an immediate end for
      // files that do have bytes; read() has the last word on those.
      if (!copied_any) break;
      return {};
    }
    if (errno == EINTR) continue;
    if (!kernel_copy_declined(errno)) return std::unexpected(OsError::last());
    break;
  }
  return copy_by_reading(in, out);
}

// --- the two copies ----------------------------------------------------------

enum class Flavor {
  Backup,   // files, directories and links; directory bits set last
  Profile,  // files and directories only; directory bits set first
};

// The walks keep one level per open directory in a list on the heap, so a
// tree of any depth costs no native stack; the descriptors they hold bound
// the depth, and running out of them is the "Too many open files" error.
class TreeCopy {
 public:
  TreeCopy(Flavor flavor, const std::string& source, const std::string& target,
           std::optional<detail::DirIdentity> never_enter)
      : flavor_(flavor),
        source_os_(trim_path_end(source)),
        target_os_(trim_path_end(target)),
        target_given_(target),
        never_enter_(never_enter),
        source_(source),
        target_(target) {}

  Status run(ParentDir parent) {
    struct stat st {};
    const At src{AT_FDCWD, source_os_.c_str()};
    if (!stat_at(src, st)) return fail_errno(source_.str());
    const At dst{AT_FDCWD, target_os_.c_str()};
    if (file_kind(st.st_mode) != FileKind::Directory) return copy_leaf(src, dst, st, parent);
    if (auto entered = enter_directory(src, dst, st, /*top=*/true); !entered) return entered;
    return copy_levels();
  }

 private:
  // A directory being copied: its listed source, its target and where the
  // texts of both end.
  struct Level {
    detail::SortedDirectory in;
    UniqueFd out;  // O_PATH: a handle for the *at calls below whatever the bits are
    mode_t bits;
    std::size_t next = 0;
    std::size_t source_size;
    std::size_t target_size;
  };

  Status copy_levels() {
    while (!levels_.empty()) {
      Level& level = levels_.back();
      const auto& entries = level.in.listing.entries();
      if (level.next == entries.size()) {
        if (auto finished = finish_directory(); !finished) return finished;
        continue;
      }
      const auto& entry = entries[level.next++];
      const std::string_view name = level.in.listing.name(entry);
      source_.at_entry(level.source_size, name);
      target_.at_entry(level.target_size, name);
      const At child{level.in.fd(), level.in.listing.c_name(entry)};
      const At child_target{level.out.get(), level.in.listing.c_name(entry)};
      struct stat st {};
      if (!stat_at(child, st)) return fail_errno(source_.str());
      // `level` may not survive the next line: entering adds a level.
      if (file_kind(st.st_mode) == FileKind::Directory) {
        if (auto entered = enter_directory(child, child_target, st, /*top=*/false); !entered) return entered;
      } else if (auto copied = copy_leaf(child, child_target, st, ParentDir::Exists); !copied) {
        return copied;
      }
    }
    return {};
  }

  // Everything but a directory.
  Status copy_leaf(At src, At dst, const struct stat& st, ParentDir parent) {
    switch (file_kind(st.st_mode)) {
      case FileKind::Directory: break;  // entered by the caller
      case FileKind::Regular:
        if (parent == ParentDir::Unknown) {
          if (auto made = ensure_parent_dir(target_given_); !made) return made;
        }
        return copy_file(src, dst, st);
      case FileKind::Symlink:
        if (flavor_ == Flavor::Profile) {
          return fail_path("profile content may not contain symbolic link {}", source_.str());
        }
        if (parent == ParentDir::Unknown) {
          if (auto made = ensure_parent_dir(target_given_); !made) return made;
        }
        return copy_link(src, dst, st);
      case FileKind::Other: return unsupported(source_.str());
    }
    return {};
  }

  std::unexpected<CoreError> unsupported(std::string_view source) const {
    return fail_path(flavor_ == Flavor::Profile ? "unsupported profile content {}" : "unsupported backup target {}",
                     source);
  }

  // An existing directory at the target is merged into; anything else there,
  // a link to a directory included, is refused.
  Status make_target_directory(At dst, bool top) {
    if (top) {
      if (auto made = create_directories(target_os_); !made) return fail_io(target_.str(), std::move(made.error()));
      return {};
    }
    // Below the top the parent is open, so there is no ancestor to create.
    if (::mkdirat(dst.dir, dst.name, 0777) == 0) return {};
    const int err = errno;
    struct stat st {};
    if (err == EEXIST && stat_at(dst, st) && S_ISDIR(st.st_mode)) return {};
    return fail_io(target_.str(), OsError::from_errno(err));
  }

  Status enter_directory(At src, At dst, const struct stat& st, bool top) {
    if (never_enter_ && st.st_dev == never_enter_->dev && st.st_ino == never_enter_->ino) {
      // The backup lies in there: copying it would copy the copy.
      return fail_io(source_.str(), OsError::custom("the state directory cannot be copied into its own backup"));
    }
    const mode_t bits = st.st_mode & kPermissionBits;
    if (auto made = make_target_directory(dst, top); !made) return made;
    UniqueFd out(::openat(dst.dir, dst.name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!out) return fail_errno(target_.str());
    if (flavor_ == Flavor::Profile && ::fchmodat(dst.dir, dst.name, bits, 0) != 0) return fail_errno(target_.str());
    auto in = detail::read_directory_at(src.dir, src.name);
    if (!in) return fail_io(source_.str(), std::move(in.error()));
    levels_.push_back(Level{std::move(*in), std::move(out), bits, 0, source_.size(), target_.size()});
    return {};
  }

  // All entries of the innermost directory are copied.
  Status finish_directory() {
    const Level& level = levels_.back();
    const std::string& target = target_.at_directory(level.target_size);
    if (flavor_ == Flavor::Backup) {
      At dst{AT_FDCWD, target_os_.c_str()};
      if (levels_.size() > 1) {
        const Level& parent = levels_[levels_.size() - 2];
        dst = At{parent.out.get(), parent.in.listing.c_name(parent.in.listing.entries()[parent.next - 1])};
      }
      if (::fchmodat(dst.dir, dst.name, level.bits, 0) != 0) return fail_errno(target);
    }
    levels_.pop_back();
    return {};
  }

  // Every failure here concerns the target, whichever file it comes from.
  Status copy_file(At src, At dst, const struct stat& st) {
    // O_NONBLOCK: should a pipe have taken a file's place, fail rather than wait.
    const UniqueFd in(::openat(src.dir, src.name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!in) return fail_errno(target_.str());
    // What was opened is what gets copied: a pipe or device swapped in
    // since the kind was read would read as an empty file.
    struct stat opened {};
    if (::fstat(in.get(), &opened) != 0) return fail_errno(target_.str());
    if (!S_ISREG(opened.st_mode)) return unsupported(source_.str());
    // A link at the target is refused rather than written through.
    const UniqueFd out(
        ::openat(dst.dir, dst.name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!out) return fail_errno(target_.str());
    if (auto copied = copy_bytes(in.get(), out.get()); !copied) {
      return fail_io(target_.str(), std::move(copied.error()));
    }
    // After the bytes: writing clears set-user-id and set-group-id bits.
    if (::fchmod(out.get(), st.st_mode & kPermissionBits) != 0) return fail_errno(target_.str());
    return {};
  }

  Status copy_link(At src, At dst, const struct stat& st) {
    std::size_t size = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 256;
    while (true) {
      link_text_.resize(size);
      const ssize_t n = ::readlinkat(src.dir, src.name, link_text_.data(), size);
      if (n < 0) return fail_errno(source_.str());
      if (static_cast<std::size_t>(n) < size) {
        link_text_.resize(static_cast<std::size_t>(n));
        break;
      }
      size *= 2;  // the link grew since its kind was read
    }
    if (::symlinkat(link_text_.c_str(), dst.dir, dst.name) != 0) return fail_errno(target_.str());
    return {};
  }

  Flavor flavor_;
  std::string source_os_;  // the top paths as handed to the system
  std::string target_os_;
  const std::string& target_given_;
  std::optional<detail::DirIdentity> never_enter_;
  PathText source_;  // the paths being worked on, for messages
  PathText target_;
  std::string link_text_;
  std::vector<Level> levels_;
};

// --- file systems and permissions -------------------------------------------

// Whether the running user `euid` may do `want` (R_OK, W_OK, X_OK or'ed) to
// the entry at `at`, owned by `owner` with `mode`, as the system decides
// it: owner bits that grant it answer at once; groups, access lists and
// capabilities are the system's to judge.
bool user_may(At at, uid_t euid, uid_t owner, mode_t mode, int want) {
  if (owner == euid) {
    mode_t bits = 0;
    if ((want & R_OK) != 0) bits |= S_IRUSR;
    if ((want & W_OK) != 0) bits |= S_IWUSR;
    if ((want & X_OK) != 0) bits |= S_IXUSR;
    if ((mode & bits) == bits) return true;
  }
  return ::faccessat(at.dir, at.name, want, AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0;
}

// Where an entry lies: its device and, where the system tells it, its
// mount. Two bind mounts of one file system share a device but not a mount.
struct MountPlace {
  dev_t dev;
  std::optional<std::uint64_t> mount;
};

constexpr unsigned kStatxMask = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID | STATX_INO | STATX_MNT_ID;

// statx without following a final link; AT_EMPTY_PATH in `flags` reads the
// open directory `at.dir` itself.
bool statx_at(At at, struct statx& stx, int flags = AT_SYMLINK_NOFOLLOW) {
  return ::statx(at.dir, at.name, flags | AT_NO_AUTOMOUNT, kStatxMask, &stx) == 0;
}

MountPlace place_of(const struct statx& stx) {
  MountPlace place{makedev(stx.stx_dev_major, stx.stx_dev_minor), std::nullopt};
  if ((stx.stx_mask & STATX_MNT_ID) != 0) place.mount = stx.stx_mnt_id;
  return place;
}

// The root of a mount: the system says so, or the entry lies on another
// device or mount than the directory it was reached from.
bool is_mount_root(const struct statx& stx, const std::optional<MountPlace>& from) {
  if ((stx.stx_attributes_mask & stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0) return true;
  if (!from) return false;
  const MountPlace here = place_of(stx);
  return here.dev != from->dev || (here.mount && from->mount && *here.mount != *from->mount);
}

// Immutable and append-only entries cannot be unlinked, not even by root.
bool is_fixed(const struct statx& stx) {
  return (stx.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0;
}

constexpr const char* kMounted = "another file system is mounted here";
constexpr const char* kUnreadable = "no read permission, so the backup could not copy it";
constexpr const char* kNotRemovable = "no write and search permission, so what it holds could not be removed";
constexpr const char* kFixed = "immutable or append-only, so it could not be removed";
constexpr const char* kInSticky = "another user's entry in a sticky directory, so it could not be removed";

// --- checking a tree before it leaves HOME -----------------------------------

// Walks a tree about to go into a backup and refuses, opening no file and
// changing nothing, whatever its backup or its removal from HOME could not
// do: the answer is the same whether the tree is then moved or copied.
class BackupCheck {
 public:
  BackupCheck(const std::string& source, std::optional<detail::DirIdentity> never_enter)
      : source_os_(trim_path_end(source)), never_enter_(never_enter), euid_(::geteuid()), path_(source) {}

  Result<detail::BackupFacts> run() {
    // The tree leaves the directory it is in, which has to let it go. The
    // parent lies in HOME and is no link (HOME itself may be one).
    std::optional<MountPlace> from;
    bool parent_sticky = false;
    if (auto parent = parent_path(source_os_)) {
      if (parent->empty()) parent = ".";
      struct statx pst {};
      const At at{AT_FDCWD, parent->c_str()};
      if (!statx_at(at, pst, 0)) return fail_errno(*parent);
      if (is_fixed(pst)) return refuse(*parent, kFixed);
      if (!may(at, pst, W_OK | X_OK)) return refuse(*parent, kNotRemovable);
      from = place_of(pst);
      parent_sticky = keeps_others_entries(pst);
    }
    struct statx top {};
    const At at{AT_FDCWD, source_os_.c_str()};
    if (!statx_at(at, top)) return fail_errno(path_.str());
    if (parent_sticky && top.stx_uid != euid_) return refuse(path_.str(), kInSticky);
    if (auto checked = check(at, top, from); !checked) return std::unexpected(std::move(checked.error()));
    while (const DirListing::Entry* next = next_entry(levels_)) {
      const DirListing::Entry& entry = *next;
      const Level& level = levels_.back();
      const DirListing& listing = level.dir.listing;
      // A link is backed up as its text: nothing to check, unless its
      // directory keeps it from being removed.
      if (entry.type == DT_LNK && !level.sticky) continue;
      path_.at_entry(level.path_size, listing.name(entry));
      const At child{level.dir.fd(), listing.c_name(entry)};
      struct statx stx {};
      if (!statx_at(child, stx)) return fail_errno(path_.str());
      if (level.sticky && stx.stx_uid != euid_) return refuse(path_.str(), kInSticky);
      // `level` may not survive the next line: a directory adds a level.
      if (auto checked = check(child, stx, level.place); !checked) return std::unexpected(std::move(checked.error()));
    }
    return facts_;
  }

 private:
  struct Level {
    detail::SortedDirectory dir;
    std::size_t next;
    std::size_t path_size;
    MountPlace place;
    bool sticky;  // only the entries the user owns may leave it
  };

  static std::unexpected<CoreError> refuse(std::string_view path, const char* reason) {
    return fail_io(path, OsError::custom(reason));
  }

  bool may(At at, const struct statx& stx, int want) const {
    return user_may(at, euid_, stx.stx_uid, stx.stx_mode, want);
  }

  // A sticky directory of another user lets the running user remove only
  // the entries it owns; root may remove any.
  bool keeps_others_entries(const struct statx& dir) const {
    return (dir.stx_mode & S_ISVTX) != 0 && dir.stx_uid != euid_ && euid_ != 0;
  }

  Status check(At at, const struct statx& stx, const std::optional<MountPlace>& from) {
    switch (file_kind(stx.stx_mode)) {
      case FileKind::Symlink: return {};
      case FileKind::Other: return fail_path("unsupported backup target {}", path_.str());
      case FileKind::Regular:
      case FileKind::Directory: break;
    }
    if (is_mount_root(stx, from)) return refuse(path_.str(), kMounted);
    if (is_fixed(stx)) return refuse(path_.str(), kFixed);
    if (file_kind(stx.stx_mode) == FileKind::Regular) {
      if (!may(at, stx, R_OK)) return refuse(path_.str(), kUnreadable);
      // Moving one of its links would carry the other link's later changes into the backup.
      if (stx.stx_nlink > 1) facts_.multi_link = true;
      return {};
    }
    const MountPlace place = place_of(stx);
    if (never_enter_ && place.dev == never_enter_->dev && stx.stx_ino == never_enter_->ino) {
      // The backup lies in there: copying it would copy the copy.
      return fail_io(path_.str(), OsError::custom("the state directory cannot be copied into its own backup"));
    }
    if (!may(at, stx, R_OK)) return refuse(path_.str(), kUnreadable);
    // A rename would move a tree of any depth; the copy, where one is
    // declined, could not go deeper than this.
    if (auto deep = depth_limit_.check(levels_.size() + 1, path_.str()); !deep) return deep;
    auto dir = detail::read_directory_at(at.dir, at.name);
    if (!dir) return fail_io(path_.str(), std::move(dir.error()));
    // An empty directory needs neither: nothing in it is read or removed.
    if (!dir->listing.entries().empty()) {
      if (!may(at, stx, X_OK)) return refuse(path_.str(), kUnreadable);
      if (!may(at, stx, W_OK)) return refuse(path_.str(), kNotRemovable);
    }
    levels_.push_back(Level{std::move(*dir), 0, path_.size(), place, keeps_others_entries(stx)});
    return {};
  }

  std::string source_os_;
  std::optional<detail::DirIdentity> never_enter_;
  uid_t euid_;
  const CopyDepthLimit depth_limit_;
  PathText path_;
  detail::BackupFacts facts_;
  std::vector<Level> levels_;
};

// --- removal -----------------------------------------------------------------

enum class Locked { Fail, Unlock };

struct RemoveLevel {
  detail::SortedDirectory dir;
  std::size_t next = 0;
};

// Opens a directory of a removal; one on another file system or mount than
// the top is refused, never entered: its files are not the removal's to
// delete. `where` names it then.
template <class Where>
std::expected<RemoveLevel, OsError> open_for_removal(At at, Locked locked, const MountPlace& top, Where where) {
  auto dir = detail::read_directory_at(at.dir, at.name);
  if (!dir) return std::unexpected(std::move(dir.error()));
  struct statx stx {};
  if (!statx_at(At{dir->fd(), ""}, stx, AT_EMPTY_PATH)) return std::unexpected(OsError::last());
  if (is_mount_root(stx, top)) {
    return std::unexpected(
        OsError::custom(fmt::format("another file system is mounted at {}", display_path(where()))));
  }
  if (locked == Locked::Unlock && !dir->listing.entries().empty()) {
    // A copy keeps its source's bits, so a backed-up read-only directory
    // would otherwise stay in the tool's own backups for good.
    if ((stx.stx_mode & S_IRWXU) != S_IRWXU && ::fchmod(dir->fd(), (stx.stx_mode & 07777) | S_IRWXU) != 0) {
      return std::unexpected(OsError::last());
    }
  }
  return RemoveLevel{std::move(*dir), 0};
}

// The path of the entry `name` of the innermost level, relative to the top.
std::string removal_place(const std::vector<RemoveLevel>& levels, std::string_view name) {
  std::string place;
  for (std::size_t i = 0; i + 1 < levels.size(); ++i) {
    const DirListing& listing = levels[i].dir.listing;
    append_path(place, listing.name(listing.entries()[levels[i].next - 1]));
  }
  append_path(place, name);
  return place;
}

// Empties the directory at `at`, deepest entries first, never leaving the
// file system and mount `place` it is on.
std::expected<void, OsError> remove_contents(At at, Locked locked, const MountPlace& place) {
  std::vector<RemoveLevel> levels;
  auto top = open_for_removal(at, locked, place, [&] { return std::string(at.name); });
  if (!top) return std::unexpected(std::move(top.error()));
  levels.push_back(std::move(*top));
  while (!levels.empty()) {
    RemoveLevel& level = levels.back();
    const DirListing& listing = level.dir.listing;
    if (level.next == listing.entries().size()) {
      levels.pop_back();  // closes it before its removal
      if (levels.empty()) break;
      const RemoveLevel& parent = levels.back();
      const char* name = parent.dir.listing.c_name(parent.dir.listing.entries()[parent.next - 1]);
      if (::unlinkat(parent.dir.fd(), name, AT_REMOVEDIR) != 0 && errno != ENOENT) {
        return std::unexpected(OsError::last());
      }
      continue;
    }
    const auto& entry = listing.entries()[level.next++];
    const At child{level.dir.fd(), listing.c_name(entry)};
    const auto kind = detail::entry_kind(level.dir.fd(), listing, entry);
    if (!kind) {
      if (kind.error().is_not_found()) continue;  // gone already
      return std::unexpected(kind.error());
    }
    if (*kind == FileKind::Directory) {
      // `level` may not survive this
      auto sub = open_for_removal(child, locked, place, [&] { return removal_place(levels, listing.name(entry)); });
      if (!sub) return std::unexpected(std::move(sub.error()));
      levels.push_back(std::move(*sub));
      continue;
    }
    if (::unlinkat(child.dir, child.name, 0) != 0 && errno != ENOENT) return std::unexpected(OsError::last());
  }
  return {};
}

// --- listing content files ---------------------------------------------------

class ContentWalk {
 public:
  ContentWalk(const std::string& root, const std::string& directory, std::vector<std::string>* files,
              const PathSet* covered)
      : files_(files), path_(directory) {
    if (auto relative = strip_path_prefix(directory, root)) relative_.emplace(*relative);
    if (covered == nullptr) return;
    // The walk spells relative paths as names joined by single "/".
    for (const auto& path : *covered) {
      std::string spelled;
      for (const auto& c : path_components(path)) append_path(spelled, c.name);
      covered_.insert(std::move(spelled));
    }
  }

  // The directory handed in is listed wherever a link there leads (planning
  // accepts a seed reached through one); every entry below is taken as it is.
  // With `top_copied` the directory handed in is copied itself (a managed
  // directory), not only what lies below it.
  Status run(const std::string& directory, bool top_copied = false) {
    const std::string os_path = trim_path_end(directory);
    if (auto entered = enter(At{AT_FDCWD, os_path.c_str()}, detail::FinalLink::Follow, false); !entered) {
      return entered;
    }
    if (top_copied) {
      struct stat st {};
      if (::fstat(levels_.back().dir.fd(), &st) != 0) return fail_errno(path_.str());
      if (auto fillable = check_fillable(st.st_mode); !fillable) return fillable;
    }
    while (const DirListing::Entry* next = next_entry(levels_)) {
      const DirListing::Entry& entry = *next;
      const Level& level = levels_.back();
      const DirListing& listing = level.dir.listing;
      const std::string_view name = listing.name(entry);
      path_.at_entry(level.path_size, name);
      if (relative_) relative_->at_entry(level.relative_size, name);
      const bool covered = level.covered || (relative_ && is_covered(relative_->str()));
      const At child{level.dir.fd(), listing.c_name(entry)};
      struct stat st {};
      if (!stat_at(child, st)) return fail_errno(path_.str());
      switch (file_kind(st.st_mode)) {
        case FileKind::Regular:
          // Only a directory handed in from outside its root gets here without one.
          if (!relative_) return fail("profile content escaped its root");
          // The copies open every file; the listing alone would not tell.
          if (!user_may(child, euid_, st.st_uid, st.st_mode, R_OK)) {
            return fail_io(path_.str(), OsError::from_errno(EACCES));
          }
          if (!covered && files_ != nullptr) files_->push_back(relative_->str());
          break;
        case FileKind::Directory:
          if (auto entered = enter(child, detail::FinalLink::Refuse, covered); !entered) return entered;
          // Directories on the way to seed files are made afresh; those of
          // a managed tree are copied with their bits.
          if (covered || files_ == nullptr) {
            if (auto fillable = check_fillable(st.st_mode); !fillable) return fillable;
          }
          break;
        case FileKind::Symlink:
        case FileKind::Other: return fail_path("unsupported profile content {}", path_.str());
      }
    }
    return {};
  }

 private:
  struct Level {
    detail::SortedDirectory dir;
    std::size_t next;
    std::size_t path_size;
    std::size_t relative_size;
    bool covered;  // at or below a covered path: its files are checked but not listed
  };

  Status enter(At at, detail::FinalLink link, bool covered) {
    if (auto deep = depth_limit_.check(levels_.size() + 1, path_.str()); !deep) return deep;
    auto dir = detail::read_directory_at(at.dir, at.name, link);
    if (!dir) return fail_io(path_.str(), std::move(dir.error()));
    levels_.push_back(Level{std::move(*dir), 0, path_.size(), relative_ ? relative_->size() : 0, covered});
    return {};
  }

  // A copy gives a directory its source's bits before it copies into it,
  // and the copy is the user's own: without the owner's write and search
  // bits nobody but the superuser could then fill it. The directory just
  // entered is refused where it has entries.
  Status check_fillable(mode_t mode) const {
    constexpr mode_t kFill = S_IWUSR | S_IXUSR;
    if (euid_ == 0 || (mode & kFill) == kFill || levels_.back().dir.listing.entries().empty()) return {};
    return fail_io(path_.str(), OsError::from_errno(EACCES));
  }

  bool is_covered(const std::string& relative) const {
    return covered_.contains(relative);
  }

  std::vector<std::string>* files_;  // none: the walk only checks
  const CopyDepthLimit depth_limit_;
  const uid_t euid_ = ::geteuid();
  PathText path_;
  std::optional<PathText> relative_;  // the walk's place relative to the root
  // Looked up at every entry of the walk, so a Profile with many managed
  // paths must not cost a scan of them each time.
  std::unordered_set<std::string> covered_;
  std::vector<Level> levels_;
};

Status remove_tree(const std::string& path, Locked locked) {
  if (auto checked = check_path_io(path); !checked) return checked;
  const std::string os_path = trim_path_end(path);
  struct statx stx {};
  if (!statx_at(At{AT_FDCWD, os_path.c_str()}, stx)) {
    if (errno == ENOENT) return {};
    return fail_errno(path);
  }
  if (!S_ISDIR(stx.stx_mode)) {
    if (::unlink(os_path.c_str()) != 0) return fail_errno(path);
    return {};
  }
  if (is_mount_root(stx, std::nullopt)) return fail_io(path, OsError::custom(kMounted));
  if (auto emptied = remove_contents(At{AT_FDCWD, os_path.c_str()}, locked, place_of(stx)); !emptied) {
    return fail_io(path, std::move(emptied.error()));
  }
  if (::rmdir(os_path.c_str()) != 0) return fail_errno(path);
  return {};
}

Status check_paths_io(std::string_view first, std::string_view second) {
  if (auto checked = check_path_io(first); !checked) return checked;
  return check_path_io(second);
}

Status copy_tree(Flavor flavor, const std::string& source, const std::string& target, ParentDir parent,
                 std::optional<detail::DirIdentity> never_enter) {
  if (auto checked = check_paths_io(source, target); !checked) return checked;
  return TreeCopy(flavor, source, target, never_enter).run(parent);
}

}  // namespace

Status remove_path(const std::string& path) { return remove_tree(path, Locked::Fail); }

Status detail::remove_backup(const std::string& path) { return remove_tree(path, Locked::Unlock); }

Status collect_content_files(const std::string& root, const std::string& directory, std::vector<std::string>& files) {
  if (auto checked = check_paths_io(root, directory); !checked) return checked;
  return ContentWalk(root, directory, &files, nullptr).run(directory);
}

Status detail::collect_uncovered_files(const std::string& root, std::vector<std::string>& files,
                                       const PathSet& covered) {
  if (auto checked = check_path_io(root); !checked) return checked;
  return ContentWalk(root, root, &files, &covered).run(root);
}

Status detail::check_content_tree(const std::string& directory) {
  if (auto checked = check_path_io(directory); !checked) return checked;
  return ContentWalk(directory, directory, nullptr, nullptr).run(directory, true);
}

Status copy_backup_tree(const std::string& source, const std::string& target) {
  return detail::copy_backup_tree(source, target, ParentDir::Unknown);
}

Status copy_profile_content(const std::string& source, const std::string& target) {
  return detail::copy_profile_content(source, target, ParentDir::Unknown);
}

Status ensure_parent_dir(const std::string& path) {
  if (auto checked = check_path_io(path); !checked) return checked;
  const auto parent = parent_path(path);
  if (!parent) return fail("path has no parent");
  if (auto made = create_directories(*parent); !made) return fail_io(*parent, std::move(made.error()));
  return {};
}

namespace detail {

Status copy_backup_tree(const std::string& source, const std::string& target, ParentDir parent,
                        std::optional<DirIdentity> never_enter) {
  return copy_tree(Flavor::Backup, source, target, parent, never_enter);
}

Status copy_profile_content(const std::string& source, const std::string& target, ParentDir parent) {
  return copy_tree(Flavor::Profile, source, target, parent, std::nullopt);
}

Result<BackupFacts> check_backup_tree(const std::string& source, std::optional<DirIdentity> never_enter) {
  if (auto checked = check_path_io(source); !checked) return std::unexpected(std::move(checked.error()));
  return BackupCheck(source, never_enter).run();
}

}  // namespace detail
}  // namespace vorpel
