// Owning handles for file descriptors and directory streams.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <utility>

namespace vorpel {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

class UniqueDir {
 public:
  UniqueDir() = default;
  explicit UniqueDir(DIR* dir) : dir_(dir) {}
  ~UniqueDir() { reset(); }
  UniqueDir(UniqueDir&& other) noexcept : dir_(std::exchange(other.dir_, nullptr)) {}
  UniqueDir& operator=(UniqueDir&& other) noexcept {
    if (this != &other) {
      reset();
      dir_ = std::exchange(other.dir_, nullptr);
    }
    return *this;
  }
  UniqueDir(const UniqueDir&) = delete;
  UniqueDir& operator=(const UniqueDir&) = delete;

  DIR* get() const { return dir_; }
  explicit operator bool() const { return dir_ != nullptr; }
  void reset(DIR* dir = nullptr) {
    if (dir_ != nullptr) ::closedir(dir_);
    dir_ = dir;
  }

 private:
  DIR* dir_ = nullptr;
};

}  // namespace vorpel
