// Child processes started by program name along PATH, never through a shell.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/storage/core_error.hpp"

namespace vorpel::commands {

// How a child ended.
class ExitStatus {
 public:
  static ExitStatus exited(int code) { return ExitStatus(false, code, false); }
  static ExitStatus signaled(int signal, bool core_dumped = false) { return ExitStatus(true, signal, core_dumped); }
  // From a waitpid status of a child that has ended.
  static ExitStatus from_wait_status(int wait_status);

  // Only a normal exit with code 0 counts as success.
  bool success() const { return !signaled_ && value_ == 0; }
  std::optional<int> code() const { return signaled_ ? std::nullopt : std::optional<int>(value_); }
  std::optional<int> signal() const { return signaled_ ? std::optional<int>(value_) : std::nullopt; }
  bool core_dumped() const { return core_dumped_; }

  // "exit status: 1", "signal: 15 (SIGTERM)", "signal: 11 (SIGSEGV) (core dumped)".
  std::string text() const;

 private:
  ExitStatus(bool signaled, int value, bool core_dumped)
      : signaled_(signaled), value_(value), core_dumped_(core_dumped) {}
  bool signaled_;
  int value_;
  bool core_dumped_;
};

// The conventional name of the standard Linux signals 1 to 31 ("SIGTERM");
// none for other numbers.
std::optional<std::string_view> signal_name(int signal);

struct CapturedRun {
  ExitStatus status;
  std::string out;
  std::string err;
};

// Runs `program` (looked up along PATH) with `args` after it, standard input
// reading /dev/null, and both output streams captured whole. Both pipes are
// drained together while the child runs, so a chatty child never stalls;
// then the child is waited for. A start or wait failure is the OsError.
// Each "NAME=value" of `env_overrides` replaces that variable in the
// child's environment.
std::expected<CapturedRun, OsError> run_captured(const std::string& program, std::span<const std::string> args,
                                                 std::span<const std::string> env_overrides = {});

// Runs `program` with the tool's own standard streams, so the user can
// answer prompts on the terminal, and waits until it ends. Meanwhile the
// tool ignores SIGINT and SIGQUIT, as system(3) does; the child starts with
// them at their defaults, unless the tool was started ignoring them.
std::expected<ExitStatus, OsError> run_inherited(const std::string& program, std::span<const std::string> args);

}  // namespace vorpel::commands
