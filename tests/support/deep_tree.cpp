#include "tests/support/deep_tree.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iterator>
#include <stdexcept>

namespace vorpel::testing {

void make_deep_dirs(const std::string& base, std::size_t depth, const std::string& name, const std::string& leaf) {
  int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + base);
  for (std::size_t i = 0; i < depth; ++i) {
    if (mkdirat(fd, name.c_str(), 0755) != 0 && errno != EEXIST) {
      close(fd);
      throw std::runtime_error("cannot create level " + std::to_string(i) + " below " + base);
    }
    const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    if (next < 0) throw std::runtime_error("cannot open level " + std::to_string(i) + " below " + base);
    fd = next;
  }
  bool written = true;
  if (!leaf.empty()) {
    const int out = openat(fd, leaf.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    written = out >= 0 && write(out, leaf.data(), leaf.size()) == static_cast<ssize_t>(leaf.size());
    if (out >= 0) close(out);
  }
  close(fd);
  if (!written) throw std::runtime_error("cannot write " + leaf + " below " + base);
}

std::string deep_relative_path(std::size_t depth, const std::string& leaf) {
  std::string path;
  path.reserve(depth * 2 + leaf.size());
  for (std::size_t i = 0; i < depth; ++i) path += "d/";
  return path + leaf;
}

std::size_t raise_descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  getrlimit(RLIMIT_NOFILE, &limit);
  return limit.rlim_cur == RLIM_INFINITY ? std::size_t{1} << 20 : static_cast<std::size_t>(limit.rlim_cur);
}

std::size_t open_descriptors() {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                                std::filesystem::directory_iterator()));
}

void on_small_stack(const std::function<void()>& work) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0 || pthread_attr_setstacksize(&attr, 256 * 1024) != 0) {
    throw std::runtime_error("cannot set up a thread");
  }
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    (*static_cast<const std::function<void()>*>(arg))();
    return nullptr;
  };
  const int made = pthread_create(&thread, &attr, run, const_cast<std::function<void()>*>(&work));
  pthread_attr_destroy(&attr);
  if (made != 0 || pthread_join(thread, nullptr) != 0) throw std::runtime_error("cannot run a thread");
}

}  // namespace vorpel::testing
