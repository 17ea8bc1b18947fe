#include "support/event_catalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/event_log_fixture.h"

namespace vemo::test {
namespace {

struct CatalogueCase {
  int32_t number;
  std::optional<std::u16string_view> return_message;
  EventValue value;
  std::string expected;
};

void ExpectEntries(const std::vector<CatalogueCase>& cases, const std::filesystem::path& log) {
  std::vector<std::string> expected;
  for (const auto& c : cases) {
    EXPECT_EQ(LogEvent(c.number, c.return_message, c.value), 0);
    expected.push_back(c.expected);
  }
  EXPECT_EQ(EventLogEntries(log), expected);
}

TEST_F(EventLogTest, CatalogueEdgeCases) {
  ExpectEntries(
      {
          // Two blanks before the bar: the message itself ends in one.
          {4, std::nullopt, int32_t{3514}, "Read bytes  | 3514"},
          // No value field even though a value is given.
          {32, u"Avest error", int32_t{77}, "Sign failed | Return message: Avest error"},
          // Zero is written; this row drops the return message.
          {20, u"dropped", int32_t{0}, "AvCmLogin retCode | 0"},
          {24, std::nullopt, static_cast<int32_t>(0xE82A010D), "AvCmSign retCode | E82A010D"},
          {2, u"expected ?action=", {}, "Invalid post request | Return message: expected ?action="},
          {3, u"r", int32_t{1}, "Invalid log"},
          {0, u"r", u"v", "Invalid log"},
          {85, u"r", int32_t{1}, "Invalid log"},
          {-4, u"r", int32_t{1}, "Invalid log"},
      },
      log());
}

// The whole vocabulary, each row with a value and a return message offered.
TEST_F(EventLogTest, CatalogueRows) {
  const std::u16string_view text = u"?action=getDocSign";
  const int32_t number = 0x1F;
  const std::u16string_view rm = u"rm";
  ExpectEntries(
      {
          {2, rm, text, "Invalid post request | ?action=getDocSign | Return message: rm"},
          {4, rm, number, "Read bytes  | 31"},
          {8, rm, text, "Post request data missing | ?action=getDocSign"},
          {16, rm, text, "Post request data reading | ?action=getDocSign"},
          {18, rm, u"AvCryptMail.dll", "Avest dll load failed | AvCryptMail.dll"},
          {20, rm, number, "AvCmLogin retCode | 1F"},
          {24, rm, number, "AvCmSign retCode | 1F"},
          {32, rm, number, "Sign failed | Return message: rm"},
          {33, rm, text, "Request string is empty"},
          {34, rm, text, "Invalid get request | ?action=getDocSign | Return message: rm"},
          {36, rm, text, "Get request ok | ?action=getDocSign | Return message: rm"},
          {40, rm, number, "AvCmLogout retCode | 1F"},
          {64, rm, number, "Enigma exec retCode | 1F"},
          {72, rm, number, "Response status | 1F"},
          {80, rm, number, "Enigma2 login retCode | 1F"},
          {82, rm, number, "Enigma2 sign retCode | 1F | Return message: rm"},
          {84, rm, number, "Enigma2 logout retCode | 1F"},
      },
      log());
}

TEST_F(EventLogTest, CatalogueNeverReportsAFailure) {
  ResetEventLogForTesting();
  EXPECT_EQ(LogEvent(4, std::nullopt, int32_t{1}), 0);
  EXPECT_EQ(WriteEvent(u"x", std::nullopt, {}, EventValueFormat::kText), kWriteEventFailed);
}

}  // namespace
}  // namespace vemo::test
