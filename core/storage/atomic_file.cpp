#include "core/storage/atomic_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <fmt/format.h>

#include "core/storage/directories.hpp"
#include "core/storage/path_rules.hpp"
#include "core/storage/path_text.hpp"
#include "core/storage/system_path.hpp"
#include "core/storage/unique_fd.hpp"

namespace vorpel {
namespace detail {

std::string decimal(unsigned __int128 value) {
  std::string digits;
  do {
    digits.push_back(static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  std::reverse(digits.begin(), digits.end());
  return digits;
}

Result<unsigned __int128> epoch_nanos() {
  struct timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec < 0) return fail("second time provided was later than self");
  return static_cast<unsigned __int128>(now.tv_sec) * 1'000'000'000u + static_cast<unsigned __int128>(now.tv_nsec);
}

std::string temp_file_name(std::string_view target_name, const TempNameSeed& seed, unsigned attempt) {
  return fmt::format(".{}.{}-{}-{}.tmp", target_name, seed.pid, decimal(seed.nanos), attempt);
}

namespace {

constexpr unsigned kTempAttempts = 32;

std::expected<void, OsError> write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError::last());
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

}  // namespace

Result<TempNameSeed> current_seed() {
  const auto nanos = epoch_nanos();
  if (!nanos) return std::unexpected(nanos.error());
  return TempNameSeed{::getpid(), *nanos};
}

Status write_file_atomically(const std::string& target, std::string_view contents, const SeedSource& seed) {
  auto replaced = replace_file_atomically(target, contents, seed, ::fsync);
  if (!replaced) return std::unexpected(std::move(replaced.error().error));
  return {};
}

ReplaceStatus replace_file_atomically(const std::string& target, std::string_view contents,
                                      const SeedSource& seed_source, const DirectorySync& sync_directory) {
  const auto before = [](CoreError error) { return std::unexpected(ReplaceError{std::move(error), false}); };
  const auto after = [](CoreError error) { return std::unexpected(ReplaceError{std::move(error), true}); };
  // The directory and the temporary name are taken from the target.
  if (auto checked = check_path_io(target); !checked) return before(std::move(checked.error()));
  const auto parent = parent_path(target);
  if (!parent) return before(CoreError::message("path has no parent"));
  // A bare file name lies in the working directory.
  const std::string dir = parent->empty() ? std::string(".") : *parent;
  if (auto made = make_private_directory(dir); !made) return before(std::move(made.error()));

  const auto name = file_name(target);
  const std::string shown_name = name ? display_path(*name) : std::string();
  const auto seed = seed_source();
  if (!seed) return before(seed.error());

  UniqueFd file;
  std::string temp_path;
  for (unsigned attempt = 0; attempt < kTempAttempts && !file; ++attempt) {
    temp_path = join_path(dir, temp_file_name(shown_name, *seed, attempt));
    // O_EXCL with O_NOFOLLOW: anything under the name, a dangling link too,
    // makes the name taken.
    const int fd = ::open(temp_path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0) {
      file.reset(fd);
    } else if (errno != EEXIST) {
      return before(core_io_error(temp_path, OsError::last()));
    }
  }
  if (!file) {
    return before(CoreError::message(fmt::format("cannot create unique temporary file for {}", display_path(target))));
  }

  if (auto written = write_all(file.get(), contents); !written) return before(core_io_error(temp_path, written.error()));
  if (::fsync(file.get()) != 0) return before(core_io_error(temp_path, OsError::last()));
  if (::rename(temp_path.c_str(), target.c_str()) != 0) return before(core_io_error(target, OsError::last()));

  const UniqueFd directory(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory) return after(core_io_error(dir, OsError::last()));
  if (sync_directory(directory.get()) != 0) return after(core_io_error(dir, OsError::last()));
  return {};
}

}  // namespace detail

ReplaceStatus replace_file_atomically(const std::string& target, std::string_view contents) {
  return detail::replace_file_atomically(target, contents, detail::SeedSource(detail::current_seed), ::fsync);
}

Status write_file_atomically(const std::string& target, std::string_view contents) {
  return detail::write_file_atomically(target, contents, detail::SeedSource(detail::current_seed));
}

}  // namespace vorpel
