// Whole-file replacement through a synced temporary file and one rename.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>

#include "core/storage/core_error.hpp"

namespace vorpel {

// A failed replacement, and whether it failed after its rename: the new
// contents then stand under the target's name (and every later read sees
// them) although the directory may not have reached the disk.
struct ReplaceError {
  CoreError error;
  bool renamed = false;
};
using ReplaceStatus = std::expected<void, ReplaceError>;

// Creates the target's directory when missing and sets it to 0700, writes
// the contents to a fresh temporary file beside the target, syncs it, renames
// it over the target and syncs the directory. Before the rename the target is
// never touched; a temporary file left by a failure is not removed.
ReplaceStatus replace_file_atomically(const std::string& target, std::string_view contents);
// replace_file_atomically for callers to whom a failure is a failure.
Status write_file_atomically(const std::string& target, std::string_view contents);

namespace detail {

// What makes a temporary name unique: the process id and the time of the
// call in nanoseconds since the Unix epoch.
struct TempNameSeed {
  pid_t pid;
  unsigned __int128 nanos;
};

std::string decimal(unsigned __int128 value);
// The wall clock in nanoseconds since the Unix epoch; a clock set before the
// epoch fails with "second time provided was later than self".
Result<unsigned __int128> epoch_nanos();
// ".{name}.{pid}-{nanos}-{attempt}.tmp"
std::string temp_file_name(std::string_view target_name, const TempNameSeed& seed, unsigned attempt);
// The process id and the real-time clock now; a clock before the epoch
// fails with "second time provided was later than self".
Result<TempNameSeed> current_seed();
// write_file_atomically with the seed taken from `seed`, which is asked once
// the directory is in place and before the temporary file is created.
using SeedSource = std::function<Result<TempNameSeed>()>;
// The directory sync, a seam for the tests of a failure after the rename.
using DirectorySync = std::function<int(int fd)>;
ReplaceStatus replace_file_atomically(const std::string& target, std::string_view contents, const SeedSource& seed,
                                      const DirectorySync& sync_directory);
Status write_file_atomically(const std::string& target, std::string_view contents, const SeedSource& seed);
inline Status write_file_atomically(const std::string& target, std::string_view contents, const TempNameSeed& seed) {
  return write_file_atomically(target, contents, SeedSource([seed] { return Result<TempNameSeed>(seed); }));
}

}  // namespace detail
}  // namespace vorpel
