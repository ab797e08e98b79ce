#include "cli/commands/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "core/storage/open_file_limit.hpp"
#include "core/storage/unique_fd.hpp"

extern char** environ;

namespace vorpel::commands {

namespace {

constexpr std::array<std::string_view, 32> kSignalNames = {
    "",          "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",  "SIGTRAP", "SIGABRT", "SIGBUS",
    "SIGFPE",    "SIGKILL", "SIGUSR1",   "SIGSEGV", "SIGUSR2", "SIGPIPE", "SIGALRM", "SIGTERM",
    "SIGSTKFLT", "SIGCHLD", "SIGCONT",   "SIGSTOP", "SIGTSTP", "SIGTTIN", "SIGTTOU", "SIGURG",
    "SIGXCPU",   "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH", "SIGIO",  "SIGPWR",  "SIGSYS",
};

// posix_spawn's attribute and file-action objects, destroyed on every path.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  bool actions_ready = false;
  bool attr_ready = false;

  SpawnSetup() = default;
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    if (actions_ready) posix_spawn_file_actions_destroy(&actions);
    if (attr_ready) posix_spawnattr_destroy(&attr);
  }

  // The child starts with no blocked signals and SIGPIPE, SIGINT and
  // SIGQUIT at their defaults, whatever the tool itself has set (it ignores
  // the last two while a change run lasts), except those of `kept_ignored`,
  // which stay ignored.
  int init(std::span<const int> kept_ignored = {}) {
    if (int rc = posix_spawn_file_actions_init(&actions); rc != 0) return rc;
    actions_ready = true;
    if (int rc = posix_spawnattr_init(&attr); rc != 0) return rc;
    attr_ready = true;
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGQUIT);
    for (int signal : kept_ignored) sigdelset(&defaults, signal);
    if (int rc = posix_spawnattr_setsigmask(&attr, &none); rc != 0) return rc;
    if (int rc = posix_spawnattr_setsigdefault(&attr, &defaults); rc != 0) return rc;
    return posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
};

std::vector<char*> argument_vector(const std::string& program, std::span<const std::string> args) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// The tool's environment with each "NAME=value" of `overrides` in place of
// the variable of that name.
std::vector<char*> environment_vector(std::span<const std::string> overrides) {
  std::vector<char*> envp;
  const auto overridden = [&](std::string_view entry) {
    for (const auto& o : overrides) {
      const std::string_view name = std::string_view(o).substr(0, o.find('=') + 1);
      if (entry.starts_with(name)) return true;
    }
    return false;
  };
  for (char** e = environ; *e != nullptr; ++e) {
    if (!overridden(*e)) envp.push_back(*e);
  }
  for (const auto& o : overrides) envp.push_back(const_cast<char*>(o.c_str()));
  envp.push_back(nullptr);
  return envp;
}

// Whether some directory of PATH that can be searched holds an entry named
// `program` (a name with a "/" is no search at all).
bool present_on_path(const std::string& program) {
  if (program.find('/') != std::string::npos) return true;
  const char* value = std::getenv("PATH");
  // The search path of the C library when PATH is unset.
  const std::string_view dirs = value != nullptr ? value : "/bin:/usr/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string_view::npos) end = dirs.size();
    const std::string_view dir = dirs.substr(start, end - start);
    const std::string candidate = (dir.empty() ? std::string(".") : std::string(dir)) + "/" + program;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0) return true;
    if (errno != ENOENT && errno != ENOTDIR && errno != EACCES && errno != ELOOP && errno != ENAMETOOLONG) {
      return true;  // something is there that could not be looked at
    }
    start = end + 1;
  }
  return false;
}

std::expected<pid_t, OsError> spawn(const std::string& program, std::span<const std::string> args,
                                    const SpawnSetup& setup, std::span<const std::string> env_overrides = {}) {
  auto argv = argument_vector(program, args);
  auto envp = environment_vector(env_overrides);
  pid_t pid = -1;
  int rc = 0;
  {
    const StartingOpenFileLimit child_limit;
    rc = posix_spawnp(&pid, program.c_str(), &setup.actions, &setup.attr, argv.data(), envp.data());
  }
  // The search answers "permission denied" both for a program it found but
  // may not run and for a directory of PATH it may not search, where it then
  // found the program nowhere. Only the first is about the program; in the
  // second it is simply missing, which is what a shell would say too.
  if (rc == EACCES && !present_on_path(program)) rc = ENOENT;
  if (rc != 0) return std::unexpected(OsError::from_errno(rc));
  return pid;
}

std::expected<ExitStatus, OsError> wait_for(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return std::unexpected(OsError::last());
  }
  return ExitStatus::from_wait_status(status);
}

// A close-on-exec pipe whose ends lie above the standard descriptors, so the
// child's redirections cannot overwrite one end with another.
std::expected<std::array<UniqueFd, 2>, OsError> make_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(OsError::last());
  std::array<UniqueFd, 2> ends{UniqueFd(fds[0]), UniqueFd(fds[1])};
  for (auto& end : ends) {
    if (end.get() > STDERR_FILENO) continue;
    const int moved = fcntl(end.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) return std::unexpected(OsError::last());
    end.reset(moved);
  }
  return ends;
}

// Reads both pipes until each reports end of file.
std::expected<void, OsError> drain(UniqueFd& out_fd, UniqueFd& err_fd, std::string& out, std::string& err) {
  std::array<UniqueFd*, 2> fds{&out_fd, &err_fd};
  std::array<std::string*, 2> sinks{&out, &err};
  std::array<char, 65536> buffer;
  while (out_fd.valid() || err_fd.valid()) {
    std::array<pollfd, 2> polled{};
    for (std::size_t i = 0; i < 2; ++i) polled[i] = {fds[i]->get(), POLLIN, 0};  // -1 is skipped by poll
    if (poll(polled.data(), polled.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError::last());
    }
    for (std::size_t i = 0; i < 2; ++i) {
      if (!fds[i]->valid() || polled[i].revents == 0) continue;
      const ssize_t n = read(fds[i]->get(), buffer.data(), buffer.size());
      if (n > 0) {
        sinks[i]->append(buffer.data(), static_cast<std::size_t>(n));
      } else if (n == 0) {
        fds[i]->reset();
      } else if (errno != EINTR && errno != EAGAIN) {
        return std::unexpected(OsError::last());
      }
    }
  }
  return {};
}

// As system(3) does while its child runs: a Ctrl-C or Ctrl-\ at the
// terminal reaches the whole foreground group, but only the child should
// end of it, so that the tool still learns how the child ended and records
// what it did. SIGCHLD stays blocked meanwhile, as there. Everything is put
// back on destruction.
class InterruptsIgnored {
 public:
  InterruptsIgnored() {
    sigset_t child;
    sigemptyset(&child);
    sigaddset(&child, SIGCHLD);
    mask_saved_ = sigprocmask(SIG_BLOCK, &child, &old_mask_) == 0;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    int_saved_ = sigaction(SIGINT, &ignore, &old_int_) == 0;
    quit_saved_ = sigaction(SIGQUIT, &ignore, &old_quit_) == 0;
  }
  InterruptsIgnored(const InterruptsIgnored&) = delete;
  // The interrupts that were ignored already before, as by a caller that
  // put the tool in the background without job control.
  std::vector<int> ignored_before() const {
    std::vector<int> out;
    if (int_saved_ && old_int_.sa_handler == SIG_IGN) out.push_back(SIGINT);
    if (quit_saved_ && old_quit_.sa_handler == SIG_IGN) out.push_back(SIGQUIT);
    return out;
  }
  InterruptsIgnored& operator=(const InterruptsIgnored&) = delete;
  ~InterruptsIgnored() {
    if (quit_saved_) sigaction(SIGQUIT, &old_quit_, nullptr);
    if (int_saved_) sigaction(SIGINT, &old_int_, nullptr);
    if (mask_saved_) sigprocmask(SIG_SETMASK, &old_mask_, nullptr);
  }

 private:
  struct sigaction old_int_ {};
  struct sigaction old_quit_ {};
  sigset_t old_mask_{};
  bool int_saved_ = false;
  bool quit_saved_ = false;
  bool mask_saved_ = false;
};

}  // namespace

ExitStatus ExitStatus::from_wait_status(int wait_status) {
  if (WIFSIGNALED(wait_status)) return signaled(WTERMSIG(wait_status), WCOREDUMP(wait_status));
  return exited(WEXITSTATUS(wait_status));
}

std::optional<std::string_view> signal_name(int signal) {
  if (signal < 1 || signal >= static_cast<int>(kSignalNames.size())) return std::nullopt;
  return kSignalNames[static_cast<std::size_t>(signal)];
}

std::string ExitStatus::text() const {
  if (!signaled_) return fmt::format("exit status: {}", value_);
  std::string out = fmt::format("signal: {}", value_);
  if (auto name = signal_name(value_)) out += fmt::format(" ({})", *name);
  if (core_dumped_) out += " (core dumped)";
  return out;
}

std::expected<CapturedRun, OsError> run_captured(const std::string& program, std::span<const std::string> args,
                                                 std::span<const std::string> env_overrides) {
  auto out_pipe = make_pipe();
  if (!out_pipe) return std::unexpected(out_pipe.error());
  auto err_pipe = make_pipe();
  if (!err_pipe) return std::unexpected(err_pipe.error());
  auto& [out_read, out_write] = *out_pipe;
  auto& [err_read, err_write] = *err_pipe;

  SpawnSetup setup;
  int rc = setup.init();
  if (rc == 0) rc = posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, out_write.get(), STDOUT_FILENO);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, err_write.get(), STDERR_FILENO);
  if (rc != 0) return std::unexpected(OsError::from_errno(rc));

  auto pid = spawn(program, args, setup, env_overrides);
  if (!pid) return std::unexpected(pid.error());
  // Only the child may hold the write ends, or the reads never see the end.
  out_write.reset();
  err_write.reset();

  std::string out;
  std::string err;
  auto drained = drain(out_read, err_read, out, err);
  // The child is reaped on every path; a drain failure closes our read ends
  // first so the child is not left blocked on a full pipe.
  out_read.reset();
  err_read.reset();
  auto status = wait_for(*pid);
  if (!drained) return std::unexpected(drained.error());
  if (!status) return std::unexpected(status.error());
  return CapturedRun{*status, std::move(out), std::move(err)};
}

std::expected<ExitStatus, OsError> run_inherited(const std::string& program, std::span<const std::string> args) {
  // What the tool wrote so far must reach the terminal before the child's output.
  std::fflush(stdout);
  const InterruptsIgnored ignored;
  // As with system(3), an interrupt the tool was started ignoring stays
  // ignored in the child.
  SpawnSetup setup;
  if (int rc = setup.init(ignored.ignored_before()); rc != 0) return std::unexpected(OsError::from_errno(rc));
  auto pid = spawn(program, args, setup);
  if (!pid) return std::unexpected(pid.error());
  return wait_for(*pid);
}

}  // namespace vorpel::commands
