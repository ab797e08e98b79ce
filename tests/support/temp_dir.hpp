// Temporary directories and small file helpers for tests.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace vorpel::testing {

// A fresh directory under TMPDIR, removed with everything below it when the
// object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Writes `content` to `path`, creating missing parent directories.
void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);
void make_dirs(const std::string& path);
bool path_exists(const std::string& path);  // lstat: a dangling link exists
// lstat's st_mode: the kind and the permission bits; throws when unreadable.
mode_t file_mode(const std::string& path);
void make_symlink(const std::string& text, const std::string& at);
std::string read_link(const std::string& path);  // throws when not a link
// The entry names of a directory in byte order, "." and ".." left out.
std::vector<std::string> names_in(const std::string& dir);

// Kind and bits, inode, and content or link text of every entry below
// `root` except `skip` and what lies below it, by path relative to `root`:
// equal images mean nothing in the tree was changed, replaced or added.
using TreeImage = std::map<std::string, std::tuple<mode_t, ino_t, std::string>>;
TreeImage tree_image(const std::string& root, const std::string& skip = "");

// Removes `path` with everything below it, at any depth and with a few
// descriptors: the entries of each subdirectory are moved up into `path`
// before the subdirectory goes, so nothing descends. Directories are given
// owner permissions on the way, as a test may have taken them. Throws when
// something cannot be removed.
void remove_tree(const std::string& path);

}  // namespace vorpel::testing
