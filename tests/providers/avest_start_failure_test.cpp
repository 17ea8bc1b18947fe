// AvestStart with a library that cannot be used. Built twice: with LD_LIBRARY_PATH on the
// fake without AvCmInitEx, and (VEMO_NO_AVEST_MODULE) with no module to be found at all.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "providers/avest_provider.h"
#include "support/event_log.h"
#include "tests/fakes/fake_modules.h"
#include "tests/fakes/test_support.h"
#include "tests/providers/fake_host.h"

namespace vemo::test {
namespace {

#ifdef VEMO_NO_AVEST_MODULE
#define VEMO_START_FAILURE AvestStartWithoutModule
#else
#define VEMO_START_FAILURE AvestStartWithoutInitEx
#endif

TEST(VEMO_START_FAILURE, FailsWithTheWindowLineAndStartsNothing) {
  TempHome home;
  InitEventLog(home.DataFolder());
  FakeModules fakes(home.path() / "fake");
  RecordingWindow window;
  FakeHost host(window);
  ActiveProvider active;
  AvestProvider provider(active);
  provider.Start(host);

  EXPECT_TRUE(active.Is(kAvestName));
  EXPECT_TRUE(host.steps().empty());
  EXPECT_EQ(window.Texts("log"), std::vector<std::string>{"Ошибка инициализации Авест"});
  EXPECT_TRUE(fakes.Calls().empty()) << "AvCmInit is not reached";
#ifdef VEMO_NO_AVEST_MODULE
  EXPECT_EQ(EventLogEntries(LogPath()),
            std::vector<std::string>{"Avest dll load failed | AvCryptMail.dll"});
#else
  EXPECT_TRUE(EventLogEntries(LogPath()).empty()) << "a missing export is no load failure";
#endif
  ResetEventLogForTesting();
}

}  // namespace
}  // namespace vemo::test
