#include "core/activation/dir_listing.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

namespace vorpel::detail {

std::expected<void, OsError> DirListing::read(DIR* dir) {
  names_.clear();
  entries_.clear();
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) return std::unexpected(OsError::last());
      return {};
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    entries_.push_back(Entry{names_.size(), name.size(), entry->d_type});
    names_.append(name);
    names_.push_back('\0');
  }
}

void DirListing::sort() {
  // string_view comparison is unsigned and byte-wise, with prefixes first
  std::sort(entries_.begin(), entries_.end(), [this](const Entry& a, const Entry& b) { return name(a) < name(b); });
}

std::expected<SortedDirectory, OsError> read_directory_at(int dir_fd, const char* name, FinalLink link) {
  const int no_follow = link == FinalLink::Refuse ? O_NOFOLLOW : 0;
  UniqueFd fd(::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | no_follow | O_CLOEXEC));
  if (!fd) return std::unexpected(OsError::last());
  SortedDirectory opened{UniqueDir(::fdopendir(fd.get())), {}};
  if (!opened.dir) return std::unexpected(OsError::last());
  fd.release();  // the stream owns it now
  if (auto read = opened.listing.read(opened.dir.get()); !read) return std::unexpected(std::move(read.error()));
  opened.listing.sort();
  return opened;
}

}  // namespace vorpel::detail
