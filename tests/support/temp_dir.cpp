#include "tests/support/temp_dir.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vorpel::testing {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vorpel-test-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  try {
    remove_tree(path_);
  } catch (const std::exception&) {
    // Left behind in TMPDIR rather than failing the test run in a destructor.
  }
}

void make_dirs(const std::string& path) { std::filesystem::create_directories(path); }

void write_file(const std::string& path, const std::string& content) {
  const auto parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out << content;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool path_exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

mode_t file_mode(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) throw std::runtime_error("cannot lstat " + path);
  return st.st_mode;
}

void make_symlink(const std::string& text, const std::string& at) {
  if (symlink(text.c_str(), at.c_str()) != 0) throw std::runtime_error("cannot make link " + at);
}

std::string read_link(const std::string& path) {
  char buf[4096];
  const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
  if (n < 0) throw std::runtime_error("not a link " + path);
  return std::string(buf, static_cast<std::size_t>(n));
}

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TreeImage tree_image(const std::string& root, const std::string& skip) {
  namespace fs = std::filesystem;
  TreeImage image;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string path = it->path().string();
    if (path == skip) {
      it.disable_recursion_pending();
      continue;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) throw std::runtime_error("cannot lstat " + path);
    std::string data;
    if (S_ISREG(st.st_mode)) data = read_file(path);
    if (S_ISLNK(st.st_mode)) data = read_link(path);
    image[path.substr(root.size())] = {st.st_mode, st.st_ino, data};
  }
  return image;
}

namespace {

// The entry names of the open directory `fd`, read from its start.
std::vector<std::string> entries_at(int fd) {
  const int copy = dup(fd);
  DIR* dir = copy < 0 ? nullptr : fdopendir(copy);
  if (dir == nullptr) {
    if (copy >= 0) close(copy);
    throw std::runtime_error("cannot list a directory");
  }
  rewinddir(dir);  // the copy shares its offset with `fd`
  std::vector<std::string> names;
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

void give_owner_permissions(int dir_fd, const char* name, const struct stat& st) {
  if ((st.st_mode & S_IRWXU) == S_IRWXU) return;
  // A failure shows in the removal that follows.
  if (fchmodat(dir_fd, name, (st.st_mode & 07777) | S_IRWXU, 0) != 0) return;
}

}  // namespace

void remove_tree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    if (unlink(path.c_str()) != 0) throw std::runtime_error("cannot remove " + path);
    return;
  }
  give_owner_permissions(AT_FDCWD, path.c_str(), st);
  const int top = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (top < 0) throw std::runtime_error("cannot open " + path);
  std::size_t moved = 0;
  bool failed = false;
  for (auto names = entries_at(top); !names.empty() && !failed; names = entries_at(top)) {
    for (const auto& name : names) {
      if (fstatat(top, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      if (!S_ISDIR(st.st_mode)) {
        failed |= unlinkat(top, name.c_str(), 0) != 0;
        continue;
      }
      give_owner_permissions(top, name.c_str(), st);
      if (unlinkat(top, name.c_str(), AT_REMOVEDIR) == 0) continue;
      const int sub = openat(top, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) {
        failed = true;
        break;
      }
      for (const auto& inner : entries_at(sub)) {
        // A fresh name in `path`; an existing one is never replaced.
        while (true) {
          const std::string up = ".up-" + std::to_string(moved++);
          if (renameat2(sub, inner.c_str(), top, up.c_str(), RENAME_NOREPLACE) == 0) break;
          if (errno != EEXIST) {
            failed = true;
            break;
          }
        }
      }
      close(sub);
      failed |= unlinkat(top, name.c_str(), AT_REMOVEDIR) != 0;
    }
  }
  close(top);
  if (failed || rmdir(path.c_str()) != 0) throw std::runtime_error("cannot remove " + path);
}

}  // namespace vorpel::testing
