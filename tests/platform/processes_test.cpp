#include "platform/processes.h"

#include <gtest/gtest.h>
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

}  // namespace
}  // namespace vemo::platform
