// Directory listings shared by the catalogue's content check, the tree
// operations and backup retention: every entry is read before any is
// visited, and the walks that need an order sort the names by their bytes.
// Not part of the library's interface.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/storage/core_error.hpp"
#include "core/storage/file_kind.hpp"
#include "core/storage/unique_fd.hpp"

namespace vorpel::detail {

// The names of one directory. They live in a single buffer, NUL-terminated
// so that they can go straight to the *at calls, which keeps a listing at
// two allocations however many entries it has.
class DirListing {
 public:
  struct Entry {
    std::size_t offset;
    std::size_t size;
    unsigned char type;  // d_type; DT_UNKNOWN when the file system does not say
  };

  // Reads every entry of the open directory `fd` but "." and "..",
  // replacing what was held.
  std::expected<void, OsError> read(int fd);
  // Ascending byte order; a name that is a prefix of another comes first.
  void sort();

  const std::vector<Entry>& entries() const { return entries_; }
  std::string_view name(const Entry& e) const { return {names_.data() + e.offset, e.size}; }
  const char* c_name(const Entry& e) const { return names_.data() + e.offset; }

 private:
  std::string names_;
  std::vector<Entry> entries_;
};

// An open directory with all its entries read and sorted; its descriptor
// serves the *at calls on the entries.
struct SortedDirectory {
  UniqueFd dir;
  DirListing listing;
  int fd() const { return dir.get(); }
};

// The kind of an entry of `listing`, read from the open directory `dir_fd`:
// from the listing or, when that does not say, from the entry's own status.
// Links are never followed.
std::expected<FileKind, OsError> entry_kind(int dir_fd, const DirListing& listing, const DirListing::Entry& entry);

enum class FinalLink { Refuse, Follow };

// Opens the directory `name` relative to `dir_fd` (AT_FDCWD for a path) and
// reads it. A symbolic link at the name itself is refused unless `link`
// says to follow it.
std::expected<SortedDirectory, OsError> read_directory_at(int dir_fd, const char* name,
                                                          FinalLink link = FinalLink::Refuse);

}  // namespace vorpel::detail
