#include "core/storage/dir_listing.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace vorpel::detail {

std::expected<void, OsError> DirListing::read(int fd) {
  names_.clear();
  entries_.clear();
  // Read straight from the descriptor: a directory stream would keep a
  // buffer of tens of KiB for as long as the walk stays below it.
  alignas(dirent64) char buffer[8192];
  while (true) {
    const ssize_t got = ::getdents64(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError::last());
    }
    if (got == 0) return {};
    for (ssize_t at = 0; at < got;) {
      dirent64 entry;
      std::memcpy(&entry, buffer + at, offsetof(dirent64, d_name));
      const char* raw = buffer + at + offsetof(dirent64, d_name);
      at += entry.d_reclen;
      const std::string_view name(raw, ::strnlen(raw, entry.d_reclen - offsetof(dirent64, d_name)));
      if (name == "." || name == "..") continue;
      entries_.push_back(Entry{names_.size(), name.size(), entry.d_type});
      names_.append(name);
      names_.push_back('\0');
    }
  }
}

void DirListing::sort() {
  // string_view comparison is unsigned and byte-wise, with prefixes first
  std::sort(entries_.begin(), entries_.end(), [this](const Entry& a, const Entry& b) { return name(a) < name(b); });
}

std::expected<FileKind, OsError> entry_kind(int dir_fd, const DirListing& listing, const DirListing::Entry& entry) {
  switch (entry.type) {
    case DT_DIR: return FileKind::Directory;
    case DT_REG: return FileKind::Regular;
    case DT_LNK: return FileKind::Symlink;
    case DT_UNKNOWN: break;
    default: return FileKind::Other;
  }
  struct stat st {};
  if (::fstatat(dir_fd, listing.c_name(entry), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::unexpected(OsError::last());
  return file_kind(st.st_mode);
}

std::expected<SortedDirectory, OsError> read_directory_at(int dir_fd, const char* name, FinalLink link) {
  const int no_follow = link == FinalLink::Refuse ? O_NOFOLLOW : 0;
  SortedDirectory opened{UniqueFd(::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | no_follow | O_CLOEXEC)), {}};
  if (!opened.dir) return std::unexpected(OsError::last());
  if (auto read = opened.listing.read(opened.fd()); !read) return std::unexpected(std::move(read.error()));
  opened.listing.sort();
  return opened;
}

}  // namespace vorpel::detail
