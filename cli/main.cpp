#include <csignal>
#include <cstdio>
#include <exception>
#include <new>

#include "cli/commands/reports.hpp"
#include "cli/entry.hpp"

namespace {

int run(int argc, char** argv) {
  auto result = vorpel::run_command_line(argc, argv);
  if (result) {
    std::fflush(stdout);
    return *result;
  }
  vorpel::commands::write_stderr("error: " + result.error().display() + "\n");
  std::fflush(stdout);
  return 2;
}

// Written without building a string: there may be no memory left for one.
int internal_failure(const char* what, const char* detail = nullptr) {
  std::fflush(stdout);
  std::fputs("error: ", stderr);
  std::fputs(what, stderr);
  if (detail != nullptr) {
    std::fputs(": ", stderr);
    std::fputs(detail, stderr);
  }
  std::fputs("\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any file is opened: a closed standard stream would otherwise lend
  // its number to the first file the tool opens.
  if (auto opened = vorpel::open_standard_streams(); !opened) {
    // Standard error may be the stream that is closed: a plain attempt.
    std::fputs(("error: " + opened.error().display() + "\n").c_str(), stderr);
    return 2;
  }
  // Line-buffered stdout and unbuffered stderr keep the two streams in the
  // order the tool writes them.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  // A reader that goes away must not kill the tool silently halfway through
  // a command: the failed write is reported and ends it with status 101.
  // Child processes get the default action back when they are started.
  std::signal(SIGPIPE, SIG_IGN);

  // An exception reaching this far (the parser or a container running out
  // of memory) is a failure like any other: one error line and status 2,
  // never an abort. What was saved stays saved; the lock and every open
  // descriptor are released on the way out.
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    return internal_failure("out of memory");
  } catch (const std::exception& e) {
    return internal_failure("internal error", e.what());
  } catch (...) {
    return internal_failure("internal error");
  }
}
