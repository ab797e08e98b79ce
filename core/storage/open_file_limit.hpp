// The open-file limit, which bounds how deep a tree the walks can go: they
// hold one descriptor per directory level they are in, a copy two.
#pragma once

#include <cstddef>
#include <string_view>

#include "core/storage/core_error.hpp"

namespace vorpel {

// Raises the soft limit on open descriptors to the hard limit, so that the
// depth the walks reach is bounded by what the system allows the user, not
// by a default meant for select()-era programs. A failure leaves the limit
// as it was; the walks then refuse what it cannot reach.
void raise_open_file_limit();

// While it lives, the soft limit is the one the process started with, so
// that a program started meanwhile (sudo, pacman) gets the limit the user's
// session gives it, not the raised one. Descriptors already open above it
// stay valid; single-threaded use only.
class StartingOpenFileLimit {
 public:
  StartingOpenFileLimit();
  ~StartingOpenFileLimit();
  StartingOpenFileLimit(const StartingOpenFileLimit&) = delete;
  StartingOpenFileLimit& operator=(const StartingOpenFileLimit&) = delete;

 private:
  bool lowered_ = false;
};

// How deep below the top of a walk a tree may go for a copy of it to
// succeed with the descriptors this process can still open, keeping room
// for those the rest of a command holds at the same time. Taken once before
// a walk that checks a tree for the copies made later.
class CopyDepthLimit {
 public:
  CopyDepthLimit();
  explicit CopyDepthLimit(std::size_t max_level) : max_level_(max_level) {}

  // The top of the walk is level 1. Past the limit: the `Io` error the copy
  // would end with there, "Too many open files", for `path`, so that every
  // command that checks the tree refuses it the same way.
  Status check(std::size_t level, std::string_view path) const;
  std::size_t max_level() const { return max_level_; }

 private:
  std::size_t max_level_;
};

}  // namespace vorpel
