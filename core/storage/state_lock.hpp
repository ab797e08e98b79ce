// The exclusive advisory lock that serialises state-changing commands.
#pragma once

#include <string>

#include "core/storage/core_error.hpp"
#include "core/storage/unique_fd.hpp"

namespace vorpel {

// Holds the lock while alive; destruction closes the file and releases it.
class StateLock {
 public:
  explicit StateLock(UniqueFd fd) : fd_(std::move(fd)) {}
  int fd() const { return fd_.get(); }

 private:
  UniqueFd fd_;
};

Result<std::string> lock_file_path(const std::string& state_path);
Result<StateLock> open_state_lock(const std::string& lock_path);
std::expected<void, OsError> lock_file_exclusive(int fd);

}  // namespace vorpel
