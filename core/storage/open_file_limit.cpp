#include "core/storage/open_file_limit.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "core/storage/dir_listing.hpp"
#include "core/storage/unique_fd.hpp"

namespace vorpel {
namespace {

// Descriptors a command holds besides a copy's levels: the standard
// streams, the lock file, the directories the application keeps open, a
// pacman run's pipes, and the listing of a level being opened.
constexpr std::size_t kReserved = 32;
// Each level of a copy holds its source and its target directory.
constexpr std::size_t kPerCopyLevel = 2;

// Descriptors open now, counted from /proc; without it, the lowest free
// number, which undercounts only when some lower one was closed.
std::size_t open_descriptors() {
  UniqueFd proc(::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  detail::DirListing listing;
  if (proc && listing.read(proc.get())) return listing.entries().size() - 1;  // less the listing's own
  const int probe = ::dup(STDERR_FILENO);
  if (probe < 0) return 0;
  ::close(probe);
  return static_cast<std::size_t>(probe);
}

// The soft limit before raise_open_file_limit raised it; none when it did not.
std::optional<rlim_t> starting_soft_limit;
// Descriptors open when raise_open_file_limit ran: those the process was
// started with. The limit of a copy's depth is taken from them, not from
// what is open when it is taken, so that a check made holding few (validate,
// plan) draws the line where one made holding the lock and the state
// directory (select) does; kReserved covers the difference.
std::optional<std::size_t> starting_descriptors;

}  // namespace

void raise_open_file_limit() {
  starting_descriptors = open_descriptors();
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  const rlim_t starting = limit.rlim_cur;
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) starting_soft_limit = starting;
}

StartingOpenFileLimit::StartingOpenFileLimit() {
  if (!starting_soft_limit) return;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = *starting_soft_limit;
  lowered_ = ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

StartingOpenFileLimit::~StartingOpenFileLimit() {
  if (!lowered_) return;
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  (void)::setrlimit(RLIMIT_NOFILE, &limit);
}

CopyDepthLimit::CopyDepthLimit() : max_level_(0) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
    max_level_ = static_cast<std::size_t>(-1);
    return;
  }
  const auto soft = static_cast<std::size_t>(limit.rlim_cur);
  const std::size_t used = starting_descriptors.value_or(open_descriptors()) + kReserved;
  if (soft > used) max_level_ = (soft - used) / kPerCopyLevel;
}

Status CopyDepthLimit::check(std::size_t level, std::string_view path) const {
  if (level <= max_level_) return {};
  return fail_io(path, OsError::from_errno(EMFILE));
}

}  // namespace vorpel
