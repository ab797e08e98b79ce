#include "tests/support/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace vorpel::testing {

std::string vorpel_binary() { return VORPEL_BINARY; }
std::string source_dir() { return VORPEL_SOURCE_DIR; }

RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    const auto eq = entry.find('=');
    if (eq == std::string::npos) continue;
    env[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [key, value] : options.env) {
    if (value) env[key] = *value;
    else env.erase(key);
  }
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (auto& s : args) argp.push_back(s.data());
  argp.push_back(nullptr);

  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  // Before the fork, so that no copy of the reading end is left anywhere.
  if (options.stdout_unread) close(out_pipe[0]);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (const int fd : options.closed) close(fd);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execve(argp[0], argp.data(), envp.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  // Feed the input, then read both streams together until both close.
  std::size_t written = 0;
  while (written < options.input.size()) {
    const ssize_t n = write(in_pipe[1], options.input.data() + written, options.input.size() - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  close(in_pipe[1]);
  RunResult result;
  pollfd fds[2] = {{options.stdout_unread ? -1 : out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = options.stdout_unread ? 1 : 2;
  char buf[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(wstatus)) {
    result.status = WEXITSTATUS(wstatus);
  } else if (WIFSIGNALED(wstatus)) {
    result.signal = WTERMSIG(wstatus);
  }
  return result;
}

RunResult run_vorpel(const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> argv{vorpel_binary()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, options);
}

}  // namespace vorpel::testing
