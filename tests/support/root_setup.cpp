#include "tests/support/root_setup.hpp"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace vorpel::testing {

std::optional<ScopedMount> ScopedMount::opened(const std::string& at) {
  const int root = ::open(at.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) {
    ::umount2(at.c_str(), MNT_DETACH);
    return std::nullopt;
  }
  return ScopedMount(root);
}

std::optional<ScopedMount> ScopedMount::bind(const std::string& from, const std::string& at) {
  if (::mount(from.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) != 0) return std::nullopt;
  return opened(at);
}

std::optional<ScopedMount> ScopedMount::tmpfs(const std::string& at, const std::string& size) {
  const std::string options = "size=" + size + ",mode=0755";
  if (::mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) != 0) return std::nullopt;
  return opened(at);
}

// The descriptor's link in /proc leads to the mounted root where it is now.
void ScopedMount::detach() {
  if (root_ < 0) return;
  ::umount2(("/proc/self/fd/" + std::to_string(root_)).c_str(), MNT_DETACH);
  ::close(root_);
  root_ = -1;
}

ScopedMount& ScopedMount::operator=(ScopedMount&& other) noexcept {
  if (this != &other) {
    detach();
    root_ = other.root_;
    other.root_ = -1;
  }
  return *this;
}

ScopedMount::~ScopedMount() { detach(); }

void give_to_nobody(const std::string& path) {
  if (::lchown(path.c_str(), kNobody, kNobody) != 0) throw std::runtime_error("cannot chown " + path);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path)) {
    if (::lchown(entry.path().c_str(), kNobody, kNobody) != 0) {
      throw std::runtime_error("cannot chown " + entry.path().string());
    }
  }
}

RunResult run_as_nobody(const Sandbox& box, const std::vector<std::string>& args,
                        const std::map<std::string, std::optional<std::string>>& extra) {
  RunOptions options;
  options.env = box.env;
  for (const auto& [key, value] : extra) options.env[key] = value;
  const std::string id = std::to_string(kNobody);
  std::vector<std::string> argv{"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups", "--",
                                vorpel_binary()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, options);
}

void prepare_for_nobody(const Sandbox& box) {
  if (::chmod(box.root().c_str(), 0755) != 0) throw std::runtime_error("cannot open " + box.root());
  give_to_nobody(box.home());
}

}  // namespace vorpel::testing
