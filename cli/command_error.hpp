// The front end's error value: a root error with context links above it.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include "core/storage/core_error.hpp"

namespace vorpel {

class CommandError {
 public:
  // A finished message without cause.
  static CommandError message(std::string text) { return CommandError({std::move(text)}); }
  // A storage or activation error, taken over with its cause.
  static CommandError from(const CoreError& error) { return CommandError(error.chain()); }
  // An operating-system error, taken over unchanged.
  static CommandError from(const OsError& error) { return CommandError({error.text()}); }

  // Adds a context text above everything held so far.
  CommandError&& context(std::string text) && {
    links_.insert(links_.begin(), std::move(text));
    return std::move(*this);
  }

  // Outermost first.
  const std::vector<std::string>& links() const { return links_; }
  // The links joined by ": ", as the error line shows them.
  std::string display() const;

 private:
  explicit CommandError(std::vector<std::string> links) : links_(std::move(links)) {}
  std::vector<std::string> links_;
};

template <class T>
using CommandResult = std::expected<T, CommandError>;

inline std::unexpected<CommandError> command_fail(std::string text) {
  return std::unexpected(CommandError::message(std::move(text)));
}
inline std::unexpected<CommandError> command_fail(const CoreError& error) {
  return std::unexpected(CommandError::from(error));
}

}  // namespace vorpel
