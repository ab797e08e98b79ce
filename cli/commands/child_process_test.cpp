#include "cli/commands/child_process.hpp"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/storage/open_file_limit.hpp"
#include "tests/support/temp_dir.hpp"

namespace vorpel::commands {
namespace {

using testing::TempDir;

std::vector<std::string> args(std::initializer_list<const char*> list) { return {list.begin(), list.end()}; }

TEST(ExitStatusTest, TextOfEveryKindOfEnd) {
  struct Case {
    ExitStatus status;
    const char* text;
  };
  const Case cases[] = {
      {ExitStatus::exited(0), "exit status: 0"},
      {ExitStatus::exited(1), "exit status: 1"},
      {ExitStatus::exited(255), "exit status: 255"},
      {ExitStatus::signaled(15), "signal: 15 (SIGTERM)"},
      {ExitStatus::signaled(9), "signal: 9 (SIGKILL)"},
      {ExitStatus::signaled(11, true), "signal: 11 (SIGSEGV) (core dumped)"},
      {ExitStatus::signaled(34), "signal: 34"},
      {ExitStatus::signaled(40, true), "signal: 40 (core dumped)"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.status.text(), c.text);
}

TEST(ExitStatusTest, OnlyExitCodeZeroIsSuccess) {
  EXPECT_TRUE(ExitStatus::exited(0).success());
  EXPECT_FALSE(ExitStatus::exited(1).success());
  // Signal numbers never count as exit codes, not even "0"-like ones.
  EXPECT_FALSE(ExitStatus::signaled(15).success());
}

TEST(ExitStatusTest, ReadsWaitStatus) {
  const auto exited = ExitStatus::from_wait_status(W_EXITCODE(3, 0));
  EXPECT_EQ(exited.code(), 3);
  EXPECT_FALSE(exited.signal().has_value());

  const auto killed = ExitStatus::from_wait_status(W_EXITCODE(0, SIGTERM));
  EXPECT_EQ(killed.signal(), SIGTERM);
  EXPECT_FALSE(killed.code().has_value());
  EXPECT_FALSE(killed.core_dumped());

  const auto dumped = ExitStatus::from_wait_status(W_EXITCODE(0, SIGSEGV) | WCOREFLAG);
  EXPECT_EQ(dumped.text(), "signal: 11 (SIGSEGV) (core dumped)");
}

TEST(SignalNameTest, StandardSignalsOneToThirtyOneAreNamed) {
  const std::pair<int, const char*> named[] = {
      {1, "SIGHUP"},    {2, "SIGINT"},  {6, "SIGABRT"}, {13, "SIGPIPE"}, {16, "SIGSTKFLT"}, {17, "SIGCHLD"},
      {19, "SIGSTOP"},  {28, "SIGWINCH"}, {29, "SIGIO"}, {30, "SIGPWR"},  {31, "SIGSYS"},
  };
  for (const auto& [number, name] : named) EXPECT_EQ(signal_name(number), name) << number;
  for (int number = 1; number <= 31; ++number) EXPECT_TRUE(signal_name(number).has_value()) << number;
  for (int number : {0, -1, 32, SIGRTMIN, 64}) EXPECT_FALSE(signal_name(number).has_value()) << number;
}

TEST(RunCapturedTest, PassesArgumentsVerbatimWithoutAShell) {
  const auto run = run_captured("printf", args({"%s|", "a b", "$HOME", "*", ";", "'q'", ""}));
  ASSERT_TRUE(run.has_value()) << run.error().text();
  EXPECT_TRUE(run->status.success());
  EXPECT_EQ(run->out, "a b|$HOME|*|;|'q'||");
  EXPECT_EQ(run->err, "");
}

TEST(RunCapturedTest, StandardInputIsDevNull) {
  const auto run = run_captured("readlink", args({"/proc/self/fd/0"}));
  ASSERT_TRUE(run.has_value()) << run.error().text();
  EXPECT_EQ(run->out, "/dev/null\n");
}

TEST(RunCapturedTest, DrainsBothStreamsWhileTheChildWrites) {
  // Far more than a pipe holds on either stream: reading one stream to its
  // end before the other would leave the child blocked forever.
  const auto run = run_captured(
      "sh", args({"-c", "head -c 1048576 /dev/zero >&2; head -c 1048576 /dev/zero; echo end >&2; exit 4"}));
  ASSERT_TRUE(run.has_value()) << run.error().text();
  EXPECT_EQ(run->out.size(), 1048576u);
  EXPECT_EQ(run->err.size(), 1048576u + 4);
  EXPECT_EQ(run->err.substr(run->err.size() - 4), "end\n");
  EXPECT_EQ(run->status.text(), "exit status: 4");
}

TEST(RunCapturedTest, ReportsTheSignalThatEndedTheChild) {
  const auto run = run_captured("sh", args({"-c", "echo partial; kill -s TERM $$"}));
  ASSERT_TRUE(run.has_value()) << run.error().text();
  EXPECT_FALSE(run->status.success());
  EXPECT_EQ(run->status.text(), "signal: 15 (SIGTERM)");
  EXPECT_EQ(run->out, "partial\n");
}

// The tool raises its own open-file limit for deep trees; a program it
// starts gets the limit the tool was started with, and the tool keeps its own.
TEST(RunCapturedTest, TheChildGetsTheOpenFileLimitTheToolStartedWith) {
  rlimit original{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
  if (original.rlim_max != RLIM_INFINITY && original.rlim_max < 512) {
    GTEST_SKIP() << "the hard open-file limit leaves no room below it for a lower soft one";
  }
  rlimit lowered = original;
  lowered.rlim_cur = 256;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  raise_open_file_limit();
  rlimit raised{};
  ::getrlimit(RLIMIT_NOFILE, &raised);
  const auto run = run_captured("sh", args({"-c", "ulimit -n"}));
  rlimit after{};
  ::getrlimit(RLIMIT_NOFILE, &after);
  ::setrlimit(RLIMIT_NOFILE, &original);

  EXPECT_EQ(raised.rlim_cur, original.rlim_max);
  ASSERT_TRUE(run.has_value()) << run.error().text();
  EXPECT_EQ(run->out, "256\n");
  EXPECT_EQ(after.rlim_cur, original.rlim_max);
}

TEST(RunCapturedTest, OverridesReplaceTheirVariablesOnly) {
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  setenv("VORPEL_PROBE", "kept", 1);
  const std::string overrides[] = {"LC_ALL=C"};
  const auto run =
      run_captured("sh", args({"-c", "env | grep -c ^LC_ALL=; echo \"$LC_ALL $VORPEL_PROBE\""}), overrides);
  unsetenv("LC_ALL");
  unsetenv("VORPEL_PROBE");
  ASSERT_TRUE(run.has_value()) << run.error().text();
  EXPECT_EQ(run->out, "1\nC kept\n");
}

TEST(RunCapturedTest, LooksTheProgramUpAlongPath) {
  TempDir dir;
  testing::write_file(dir / "vorpel-probe", "#!/bin/sh\necho probed \"$@\"\n");
  ASSERT_EQ(chmod((dir / "vorpel-probe").c_str(), 0755), 0);
  const std::string saved = getenv("PATH");
  setenv("PATH", (dir.path() + ":" + saved).c_str(), 1);
  const auto run = run_captured("vorpel-probe", args({"x"}));
  setenv("PATH", saved.c_str(), 1);
  ASSERT_TRUE(run.has_value()) << run.error().text();
  EXPECT_EQ(run->out, "probed x\n");
}

// What starting `program` along `path` fails with, for both kinds of run,
// as "captured text | inherited text". Run as an unprivileged user when the
// test runs as root, so that directory permissions count.
std::string start_failure(const std::string& program, const std::string& path) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return "(no pipe)";
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipe_fds[0]);
    if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) _exit(1);
    setenv("PATH", path.c_str(), 1);
    const auto captured = run_captured(program, {});
    const auto inherited = run_inherited(program, {});
    const std::string text = (captured ? std::string("(started)") : captured.error().text()) + " | " +
                             (inherited ? std::string("(started)") : inherited.error().text());
    const ssize_t written = write(pipe_fds[1], text.data(), text.size());
    _exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
  }
  close(pipe_fds[1]);
  std::string text;
  char buf[256];
  ssize_t n;
  while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  close(pipe_fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? text : "(child failed)";
}

TEST(RunTest, MissingProgramIsAnOsError) {
  TempDir dir;
  // Reachable for the unprivileged user, but for "locked".
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  testing::make_dirs(dir / "empty");
  testing::make_dirs(dir / "locked");
  ASSERT_EQ(chmod((dir / "locked").c_str(), 0), 0);
  testing::make_dirs(dir / "plain");
  testing::write_file(dir / "plain/vorpel-probe", "#!/bin/sh\n");
  ASSERT_EQ(chmod((dir / "plain/vorpel-probe").c_str(), 0644), 0);
  const std::string missing = "No such file or directory (os error 2)";
  const std::string denied = "Permission denied (os error 13)";
  const struct {
    std::string path;
    std::string failure;
  } cases[] = {
      {dir / "empty", missing + " | " + missing},
      // A directory the user may not search hides no program from it: the
      // program is missing, not forbidden.
      {dir / "locked" + ":" + dir / "empty", missing + " | " + missing},
      {dir / "locked", missing + " | " + missing},
      // A file found but not executable is the program's own fault.
      {dir / "locked" + ":" + dir / "plain", denied + " | " + denied},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(start_failure("vorpel-probe", c.path), c.failure) << c.path;
  }
}

TEST(RunInheritedTest, ChildWritesToTheToolsOwnStreams) {
  TempDir dir;
  const std::string out_path = dir / "out";
  fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  ASSERT_GE(saved, 0);
  const int file = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(file, 0);
  dup2(file, STDOUT_FILENO);
  close(file);
  const auto status = run_inherited("sh", args({"-c", "echo to the terminal; exit 7"}));
  dup2(saved, STDOUT_FILENO);
  close(saved);
  ASSERT_TRUE(status.has_value()) << status.error().text();
  EXPECT_EQ(status->code(), 7);
  EXPECT_EQ(testing::read_file(out_path), "to the terminal\n");
}

// A Ctrl-C at the terminal reaches the tool as well as the change run: the
// tool lives on to see how the run ended, and the run itself gets the
// signals at their defaults.
TEST(RunInheritedTest, TheToolIgnoresInterruptsWhileTheChildRunsAndTheChildDoesNot) {
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGINT, nullptr, &before), 0);
  const auto status =
      run_inherited("sh", args({"-c", "kill -s INT $PPID; kill -s QUIT $PPID; kill -s INT $$; exit 3"}));
  ASSERT_TRUE(status.has_value()) << status.error().text();
  EXPECT_EQ(status->text(), "signal: 2 (SIGINT)");
  // Put back afterwards, and SIGCHLD unblocked again.
  struct sigaction after {};
  ASSERT_EQ(sigaction(SIGINT, nullptr, &after), 0);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
  sigset_t blocked;
  ASSERT_EQ(sigprocmask(SIG_BLOCK, nullptr, &blocked), 0);
  EXPECT_FALSE(sigismember(&blocked, SIGCHLD));
}

// An interrupt the tool was started ignoring (a job a shell without job
// control put in the background, nohup) stays ignored in the change run, as
// with system(3): the terminal's Ctrl-C must not end a transaction it never
// reached before.
TEST(RunInheritedTest, TheChildKeepsInterruptsTheCallerIgnored) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  struct sigaction old_int {};
  struct sigaction old_quit {};
  ASSERT_EQ(sigaction(SIGINT, &ignore, &old_int), 0);
  ASSERT_EQ(sigaction(SIGQUIT, &ignore, &old_quit), 0);
  const auto status = run_inherited("sh", args({"-c", "kill -s INT $$; kill -s QUIT $$; exit 3"}));
  struct sigaction after {};
  sigaction(SIGINT, nullptr, &after);
  sigaction(SIGQUIT, &old_quit, nullptr);
  sigaction(SIGINT, &old_int, nullptr);
  ASSERT_TRUE(status.has_value()) << status.error().text();
  EXPECT_EQ(status->text(), "exit status: 3");
  EXPECT_EQ(after.sa_handler, SIG_IGN);
}

}  // namespace
}  // namespace vorpel::commands
