// Temporary directories and small file helpers for tests.
#pragma once

#include <string>

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

}  // namespace vorpel::testing
