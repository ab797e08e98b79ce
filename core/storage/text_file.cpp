#include "core/storage/text_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <fmt/format.h>

#include "core/storage/path_text.hpp"
#include "core/storage/system_path.hpp"
#include "core/storage/unique_fd.hpp"

namespace vorpel {

std::string size_limit_text(std::size_t limit) {
  if (limit % (std::size_t{1} << 20) == 0) {
    return fmt::format("file exceeds the size limit of {} MiB", limit >> 20);
  }
  return fmt::format("file exceeds the size limit of {} bytes", limit);
}

std::expected<std::string, OsError> read_text_file(const std::string& path, std::size_t limit) {
  if (auto checked = check_system_path(path); !checked) return std::unexpected(std::move(checked.error()));
  // A special file is refused before it is opened: opening one can act (a
  // named pipe releases a waiting writer, a device may rewind or arm).
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(OsError::last());
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return std::unexpected(OsError::custom("not a regular file"));
  // Checked again through the descriptor, as the path may have changed in
  // between; O_NONBLOCK: a named pipe put there meanwhile must not wait for
  // a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return std::unexpected(OsError::last());
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(OsError::last());
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return std::unexpected(OsError::custom("not a regular file"));
  const auto too_large = [limit] { return std::unexpected(OsError::custom(size_limit_text(limit))); };
  // The size is only a hint: files of /proc report 0 and yield far more,
  // and a file may grow while it is read. The reading itself stops once it
  // is past the limit (in whole buffers: some files of /proc refuse reads
  // of odd sizes).
  if (S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) > limit) return too_large();
  std::string text;
  if (S_ISREG(st.st_mode) && st.st_size > 0) text.reserve(static_cast<std::size_t>(st.st_size));
  char buf[65536];
  while (true) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError::last());
    }
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > limit) return too_large();
  }
  if (!is_valid_utf8(text)) return std::unexpected(OsError::invalid_utf8());
  return text;
}

}  // namespace vorpel
