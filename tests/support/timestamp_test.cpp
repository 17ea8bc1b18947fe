#include "support/timestamp.h"

#include <gtest/gtest.h>

#include <ctime>

#include "tests/fakes/scoped_env.h"

namespace vemo::test {
namespace {

TEST(TimestampPrefix, IsLocalTimeWithLeadingZerosAndTheFullYear) {
  struct Case {
    const char* zone;
    std::time_t at;
    const char* expected;
  };
  const Case cases[] = {
      {"UTC0", 0, "[01.01.1970 00:00:00]: "},
      {"UTC0", 1'000'000'000, "[09.09.2001 01:46:40]: "},
      {"UTC0", 1'700'000'000, "[14.11.2023 22:13:20]: "},
      // The local date, not the UTC one, on both sides of midnight.
      {"<+03>-3", 1'700'000'000, "[15.11.2023 01:13:20]: "},
      {"<-05>5", 1'000'000'000, "[08.09.2001 20:46:40]: "},
      {"UTC0", 32'503'680'000, "[01.01.3000 00:00:00]: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zone);
    ScopedEnv zone("TZ", c.zone);
    ::tzset();
    EXPECT_EQ(TimestampPrefix(c.at), c.expected) << c.at;
  }
  ::tzset();
}

}  // namespace
}  // namespace vemo::test
