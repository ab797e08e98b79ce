// The single error type of the storage and activation subsystems.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vorpel {

// An operating-system error: an errno value rendered as the system's
// description plus " (os error N)", or a fixed text of our own file layer
// (for example a file read as text that is not UTF-8).
class OsError {
 public:
  static OsError from_errno(int code) { return OsError(code, {}); }
  static OsError last();  // from the current errno
  static OsError invalid_utf8() { return OsError(0, "stream did not contain valid UTF-8"); }
  static OsError custom(std::string text) { return OsError(0, std::move(text)); }
  // A path holding a NUL byte, which no system call can take.
  static OsError nul_in_path() { return OsError(0, "file name contained an unexpected NUL byte"); }

  int code() const { return code_; }  // 0 for a fixed text
  bool is_not_found() const;
  bool already_exists() const;
  std::string text() const;

 private:
  OsError(int code, std::string fixed) : code_(code), fixed_(std::move(fixed)) {}
  int code_;
  std::string fixed_;
};

// A TOML reading error: the complete report (which may span several lines
// and ends with a newline).
struct TomlError {
  std::string report;
};

class CoreError {
 public:
  struct Message { std::string text; };
  struct Io { std::string path; OsError source; };
  struct Toml { std::string path; TomlError source; };

  static CoreError message(std::string text) { return CoreError(Message{std::move(text)}); }
  // `path` is the display text already (see core_io_error for raw paths).
  static CoreError io(std::string path_text, OsError source) {
    return CoreError(Io{std::move(path_text), std::move(source)});
  }
  static CoreError toml(std::string_view raw_path, TomlError source);

  const std::variant<Message, Io, Toml>& value() const { return value_; }
  bool is_message() const { return std::holds_alternative<Message>(value_); }
  const Io* as_io() const { return std::get_if<Io>(&value_); }

  std::string text() const;                  // display text of this link
  std::optional<std::string> cause() const;  // text of the cause, if any
  std::vector<std::string> chain() const;    // this link, then its causes
  std::string debug() const;                 // diagnostic form, never shown to users

 private:
  explicit CoreError(std::variant<Message, Io, Toml> v) : value_(std::move(v)) {}
  std::variant<Message, Io, Toml> value_;
};

template <class T>
using Result = std::expected<T, CoreError>;
using Status = std::expected<void, CoreError>;

inline std::unexpected<CoreError> fail(std::string text) {
  return std::unexpected(CoreError::message(std::move(text)));
}

// The Io variant for a raw path (shown by its display text).
CoreError core_io_error(std::string_view path, OsError error);

inline std::unexpected<CoreError> fail_io(std::string_view path, OsError error) {
  return std::unexpected(core_io_error(path, std::move(error)));
}
inline std::unexpected<CoreError> fail_errno(std::string_view path) {
  return fail_io(path, OsError::last());
}

template <class T>
Result<T> io_error_with_path(std::string_view path, std::expected<T, OsError> outcome) {
  if (outcome) return std::move(*outcome);
  return std::unexpected(core_io_error(path, std::move(outcome.error())));
}

}  // namespace vorpel
