#include <cstdio>

#include "cli/entry.hpp"

int main(int argc, char** argv) {
  // Line-buffered stdout and unbuffered stderr keep the two streams in the
  // order the tool writes them.
  std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  auto result = vorpel::run_command_line(argc, argv);
  if (result) {
    std::fflush(stdout);
    return *result;
  }
  std::fprintf(stderr, "error: %s\n", result.error().display().c_str());
  std::fflush(stdout);
  return 2;
}
