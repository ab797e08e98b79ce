#include "core/storage/text_file.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/temp_dir.hpp"

namespace vorpel {
namespace {

// A named pipe is refused without being opened: opening it for reading
// would release a writer waiting for a reader, which then writes into a
// pipe nobody reads.
TEST(ReadTextFile, NamedPipeIsRefusedWithoutBeingOpened) {
  testing::TempDir dir;
  const std::string fifo = dir.path() + "/profile.toml";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    // Blocks until a reader opens the pipe.
    const int fd = ::open(fifo.c_str(), O_WRONLY);
    ::_exit(fd >= 0 ? 0 : 1);
  }
  // Time for the writer to reach its open.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));

  const auto read = read_text_file(fifo);
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().text(), "not a regular file");

  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  int status = 0;
  EXPECT_EQ(::waitpid(writer, &status, WNOHANG), 0) << "the writer's open went through";
  ::kill(writer, SIGKILL);
  ::waitpid(writer, &status, 0);
}

}  // namespace
}  // namespace vorpel
