#include "service/window_log.h"

#include <gtest/gtest.h>

#include <ctime>

#include "tests/fakes/scoped_env.h"

namespace vemo::test {
namespace {

TEST(TimestampedLine, IsTheEventLogPrefixThenTheText) {
  {
    ScopedEnv zone("TZ", "<+03>-3");
    ::tzset();
    EXPECT_EQ(TimestampedLine(u"Vemo_Server_Crypt запущен: Энигма2", 1'700'000'000),
              u"[15.11.2023 01:13:20]: Vemo_Server_Crypt запущен: Энигма2");
    EXPECT_EQ(TimestampedLine(u"", 0), u"[01.01.1970 03:00:00]: ");
  }
  ::tzset();
}

}  // namespace
}  // namespace vemo::test
