#include "core/storage/text_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "core/storage/path_text.hpp"
#include "core/storage/system_path.hpp"
#include "core/storage/unique_fd.hpp"

namespace vorpel {

std::expected<std::string, OsError> read_text_file(const std::string& path) {
  if (auto checked = check_system_path(path); !checked) return std::unexpected(std::move(checked.error()));
  // O_NONBLOCK: opening a named pipe must not wait for a writer.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) return std::unexpected(OsError::last());
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(OsError::last());
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) return std::unexpected(OsError::custom("not a regular file"));
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
  }
  if (!is_valid_utf8(text)) return std::unexpected(OsError::invalid_utf8());
  return text;
}

}  // namespace vorpel
