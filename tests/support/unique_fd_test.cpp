#include "support/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "tests/fakes/test_support.h"

namespace vemo::test {
namespace {

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

TEST(UniqueFd, WritesEveryByteAndClosesWithTheObject) {
  TempHome home;
  const auto file = home.path() / "file";
  // More than one write call may take, with the bytes that text handling would change.
  const std::string bytes = std::string(3 << 20, 'a') + std::string("\0\xFF\r\n", 4);
  int raw = -1;
  {
    UniqueFd fd(::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd.ok());
    raw = fd.get();
    EXPECT_TRUE(fd.WriteAllAndSync(bytes));
    EXPECT_TRUE(fd.WriteAllAndSync(""));
  }
  EXPECT_FALSE(IsOpen(raw));
  EXPECT_EQ(ReadFileBytes(file), bytes);
}

TEST(UniqueFd, WriteFailsWhenTheBytesCannotReachStorage) {
  TempHome home;
  const auto file = home.path() / "file";
  WriteFileBytes(file, "old");
  int pipe_ends[2];
  ASSERT_EQ(::pipe2(pipe_ends, O_CLOEXEC), 0);
  UniqueFd reader(pipe_ends[0]);
  struct Case {
    const char* what;
    int fd;
  };
  const Case cases[] = {
      {"opened for reading", ::open(file.c_str(), O_RDONLY | O_CLOEXEC)},
      // The write itself succeeds; a pipe cannot be flushed to storage.
      {"pipe", pipe_ends[1]},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UniqueFd fd(c.fd);
    ASSERT_TRUE(fd.ok());
    EXPECT_FALSE(fd.WriteAllAndSync("new"));
  }
  EXPECT_EQ(ReadFileBytes(file), "old");
}

TEST(UniqueFd, CloseTellsWhetherThereWasSomethingToClose) {
  UniqueFd none(-1);
  EXPECT_FALSE(none.ok());
  EXPECT_FALSE(none.Close());

  UniqueFd fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(fd.ok());
  const int raw = fd.get();
  EXPECT_TRUE(fd.Close());
  EXPECT_FALSE(fd.ok());
  EXPECT_FALSE(IsOpen(raw));
  EXPECT_FALSE(fd.Close());
}

}  // namespace
}  // namespace vemo::test
