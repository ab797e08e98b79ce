// Runs a program for the end-to-end tests and captures what it printed.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vorpel::testing {

struct RunResult {
  int status = -1;  // exit status, or -1 when killed by a signal
  int signal = 0;
  std::string out;
  std::string err;
};

struct RunOptions {
  // Environment changes over the test's own environment: a value sets the
  // variable, std::nullopt unsets it.
  std::map<std::string, std::optional<std::string>> env;
  std::string cwd;    // empty: inherit
  std::string input;  // standard input text
  // Standard descriptors (0, 1, 2) the program starts with closed; what it
  // would print there is then not captured.
  std::vector<int> closed;
  // Standard output is a pipe whose reading end is already closed, so every
  // write to it fails with EPIPE.
  bool stdout_unread = false;
};

// argv[0] is the program path; it is not looked up along PATH.
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options = {});

// Runs the vorpel binary under test with the given arguments.
RunResult run_vorpel(const std::vector<std::string>& args, const RunOptions& options = {});

std::string vorpel_binary();
std::string source_dir();

}  // namespace vorpel::testing
