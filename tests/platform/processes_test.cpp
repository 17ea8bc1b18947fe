#include "platform/processes.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "tests/fakes/fake_modules.h"
#include "tests/fakes/test_support.h"

namespace vemo::platform {
namespace {

bool Lists(pid_t pid, const std::filesystem::path& executable) {
  const auto processes = ListProcesses();
  return std::any_of(processes.begin(), processes.end(), [&](const ProcessEntry& entry) {
    return entry.pid == pid && entry.executable == executable;
  });
}

TEST(ListProcesses, FindsTheObserverByItsFullPath) {
  test::TempHome home;
  for (const char* folder : {"observer", "Программы Энигма"}) {
    SCOPED_TRACE(folder);
    const auto path = std::filesystem::canonical(home.path()) / folder;
    test::FakeObserver observer(path, /*with_sign_program=*/false);
    EXPECT_TRUE(Lists(observer.pid(), path / "MCardObserver.exe"));
    const pid_t pid = observer.pid();
    observer.Stop();
    EXPECT_FALSE(Lists(pid, path / "MCardObserver.exe"));
  }
}

TEST(ListProcesses, ListsOurselvesInProcOrder) {
  const auto processes = ListProcesses();
  EXPECT_TRUE(Lists(::getpid(), std::filesystem::read_symlink("/proc/self/exe")));
  // /proc gives the processes by increasing id.
  EXPECT_TRUE(std::is_sorted(processes.begin(), processes.end(),
                             [](const auto& a, const auto& b) { return a.pid < b.pid; }));
}

// A test process that dies without its destructors takes its observer with it, so that no
// orphan is found by later tests.
TEST(ListProcesses, AnObserverEndsWithTheProcessThatStartedIt) {
  test::TempHome home;
  const auto path = std::filesystem::canonical(home.path()) / "orphan";
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  const pid_t starter = ::fork();
  ASSERT_GE(starter, 0);
  if (starter == 0) {
    auto* observer = new test::FakeObserver(path, false);
    const pid_t pid = observer->pid();
    [[maybe_unused]] const auto wrote = ::write(pipe_fds[1], &pid, sizeof pid);
    ::_exit(0);
  }
  ::close(pipe_fds[1]);
  pid_t observer = -1;
  ASSERT_EQ(::read(pipe_fds[0], &observer, sizeof observer), static_cast<ssize_t>(sizeof observer));
  ::close(pipe_fds[0]);
  ::waitpid(starter, nullptr, 0);
  const bool ended = test::WaitFor([&] { return !Lists(observer, path / "MCardObserver.exe"); });
  EXPECT_TRUE(ended);
  if (!ended) ::kill(observer, SIGKILL);
}

}  // namespace
}  // namespace vemo::platform
