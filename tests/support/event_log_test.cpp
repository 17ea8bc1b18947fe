#include "support/event_log.h"

#include <gtest/gtest.h>

#include <climits>
#include <ctime>
#include <fstream>
#include <latch>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/event_log_fixture.h"

namespace vemo::test {
namespace {

constexpr auto kText = EventValueFormat::kText;
constexpr auto kDecimal = EventValueFormat::kDecimal;
constexpr auto kHex = EventValueFormat::kHex;

// Every line is the timestamp and the entry, ended by CR LF; no BOM, no bare LF.
void ExpectWellFormedLines(const std::string& bytes) {
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");
  for (size_t at = bytes.find('\n'); at != std::string::npos; at = bytes.find('\n', at + 1)) {
    ASSERT_GT(at, 0u);
    EXPECT_EQ(bytes[at - 1], '\r') << "bare line feed at " << at;
  }
  const std::regex stamp(R"(^\[\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d\]: )");
  size_t start = 0;
  while (start < bytes.size()) {
    const size_t end = bytes.find("\r\n", start);
    EXPECT_TRUE(std::regex_search(bytes.substr(start, end - start), stamp))
        << bytes.substr(start, end - start);
    start = end + 2;
  }
}

TEST_F(EventLogTest, InitSetsPathsAndCreatesMissingFolders) {
  const auto folder = home_.path() / "a" / "b" / "Tramontel_Vemo_Server_Crypt";
  InitEventLog(folder);
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_EQ(LogPath(), folder / "Vemo_Server_Crypt_Z.log");
  EXPECT_EQ(RotatedLogPath(), folder / "Vemo_Server_Crypt_Z.log1");
  EXPECT_EQ(WriteEvent(u"x", std::nullopt, {}, kText), 0);
  EXPECT_EQ(EventLogEntries(folder / "Vemo_Server_Crypt_Z.log"), std::vector<std::string>{"x"});
}

// The paths have no fixed length: a deep folder is written in full, and a name the file system
// refuses fails like any other open.
TEST_F(EventLogTest, LongFolders) {
  const auto deep = home_.path() / std::string(200, 'd') / std::string(200, 'e') / "Вемо";
  InitEventLog(deep);
  EXPECT_EQ(LogPath().native().size(), deep.native().size() + 24);
  EXPECT_EQ(WriteEvent(u"deep", std::nullopt, {}, kText), 0);
  EXPECT_EQ(EventLogEntries(deep / "Vemo_Server_Crypt_Z.log"), std::vector<std::string>{"deep"});

  const auto too_long = home_.path() / std::string(300, 'x');
  InitEventLog(too_long);
  EXPECT_EQ(WriteEvent(u"lost", std::nullopt, {}, kText), kWriteEventFailed);
}

TEST_F(EventLogTest, BeforeInitNothingIsWritten) {
  ResetEventLogForTesting();
  std::filesystem::remove_all(home_.DataFolder());
  EXPECT_TRUE(LogPath().empty());
  EXPECT_TRUE(RotatedLogPath().empty());
  EXPECT_EQ(WriteEvent(u"x", u"y", int32_t{1}, kDecimal), kWriteEventFailed);
  EXPECT_FALSE(std::filesystem::exists(home_.DataFolder()));
  EXPECT_TRUE(std::filesystem::is_empty(home_.path() / ".config"));
}

TEST_F(EventLogTest, DeletedFolderFailsAndIsNotRecreated) {
  std::filesystem::remove_all(home_.DataFolder());
  EXPECT_EQ(WriteEvent(u"x", std::nullopt, {}, kText), kWriteEventFailed);
  EXPECT_FALSE(std::filesystem::exists(home_.DataFolder()));
}

// Each entry opens the file by its name: a log removed while the program runs comes back with
// the next entry, and a folder put in its place fails the entries until it is gone, without a
// byte written elsewhere.
TEST_F(EventLogTest, EachEntryFindsTheFileByItsName) {
  ASSERT_EQ(WriteEvent(u"first", std::nullopt, {}, kText), 0);
  std::filesystem::remove(log());
  EXPECT_EQ(WriteEvent(u"second", std::nullopt, {}, kText), 0);
  EXPECT_EQ(EventLogEntries(log()), std::vector<std::string>{"second"});

  std::filesystem::remove(log());
  std::filesystem::create_directory(log());
  EXPECT_EQ(WriteEvent(u"lost", std::nullopt, {}, kText), kWriteEventFailed);
  EXPECT_TRUE(std::filesystem::is_empty(log()));
  EXPECT_FALSE(std::filesystem::exists(rotated()));
  std::filesystem::remove(log());
  EXPECT_EQ(WriteEvent(u"third", std::nullopt, {}, kText), 0);
  EXPECT_EQ(EventLogEntries(log()), std::vector<std::string>{"third"});
}

TEST_F(EventLogTest, FieldLayout) {
  struct Case {
    std::optional<std::u16string_view> message;
    std::optional<std::u16string_view> return_message;
    EventValue value;
    EventValueFormat format;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {std::nullopt, std::nullopt, {}, kText, ""},
      {u"Get request ok", std::nullopt, u"?action=checkLs", kText,
       "Get request ok | ?action=checkLs"},
      {u"m", std::nullopt, {}, kText, "m"},
      {u"m", std::nullopt, int32_t{0}, kText, "m"},
      {u"m", std::nullopt, u"", kText, "m | "},
      {u"m", std::nullopt, int32_t{0}, kDecimal, "m | 0"},
      {u"m", std::nullopt, int32_t{-1}, kDecimal, "m | -1"},
      {u"m", std::nullopt, int32_t{INT_MIN}, kDecimal, "m | -2147483648"},
      {u"m", std::nullopt, int32_t{0}, kHex, "m | 0"},
      {u"m", std::nullopt, int32_t{-1}, kHex, "m | FFFFFFFF"},
      {u"m", std::nullopt, int32_t{0xab}, kHex, "m | AB"},
      {u"AvCmSign retCode", std::nullopt, static_cast<int32_t>(0xE82A0100), kHex,
       "AvCmSign retCode | E82A0100"},
      {u"Sign failed",
       u"Data base64 error",
       {},
       kText,
       "Sign failed | Return message: Data base64 error"},
      {u"Invalid get request", u"invalid get request", u"?action=foo", kText,
       "Invalid get request | ?action=foo | Return message: invalid get request"},
      {std::nullopt, u"r", int32_t{7}, kDecimal, " | 7 | Return message: r"},
      // An unknown format behaves as text.
      {u"m", std::nullopt, u"v", static_cast<EventValueFormat>(7), "m | v"},
      {u"m", std::nullopt, int32_t{5}, static_cast<EventValueFormat>(-1), "m"},
  };
  std::vector<std::string> expected;
  for (const auto& c : cases) {
    ASSERT_EQ(WriteEvent(c.message, c.return_message, c.value, c.format), 0);
    expected.push_back(c.expected);
  }
  const std::string bytes = ReadFileBytes(log());
  ExpectWellFormedLines(bytes);
  EXPECT_NE(bytes.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_EQ(EventLogEntries(log()), expected);
}

TEST_F(EventLogTest, LineFeedInsideAFieldBecomesCrLf) {
  ASSERT_EQ(WriteEvent(u"a\nb", u"r\n", u"x\ny", kText), 0);
  const std::string bytes = ReadFileBytes(log());
  EXPECT_EQ(bytes.substr(23), "a\r\nb | x\r\ny | Return message: r\r\n\r\n");
}

TEST_F(EventLogTest, TimestampIsLocalTimeWithLeadingZerosAndFullYear) {
  const auto Format = [](std::time_t at) {
    std::tm local{};
    localtime_r(&at, &local);
    char text[64];
    std::strftime(text, sizeof text, "[%d.%m.%Y %H:%M:%S]: ", &local);
    return std::string(text);
  };
  const std::time_t before = std::time(nullptr);
  ASSERT_EQ(WriteEvent(u"t", std::nullopt, {}, kText), 0);
  const std::time_t after = std::time(nullptr);
  const std::string line = ReadFileBytes(log());
  ASSERT_EQ(line.size(), 23u + 1 + 2);
  const std::string stamp = line.substr(0, 23);
  bool matched = false;
  for (std::time_t at = before; at <= after; ++at) matched = matched || stamp == Format(at);
  EXPECT_TRUE(matched) << stamp;
}

TEST_F(EventLogTest, TextFieldsGoThroughTheProcessCodePage) {
  // Before the service starts only U+0000..U+00FF can be written: Cyrillic cuts the field.
  ASSERT_EQ(WriteEvent(u"Get request ok", u"ok", u"?action=Привет", kText), 0);
  SetProcessCodePage(NarrowCodePage::kCp1251);
  ASSERT_EQ(WriteEvent(u"Get request ok", std::nullopt, u"?action=Привет", kText), 0);
  // A character outside code page 1251 cuts its own field only.
  ASSERT_EQ(WriteEvent(u"Get request ok", u"after", u"?action=中文x", kText), 0);
  ASSERT_EQ(WriteEvent(u"Mess中age", u"Ret中urn", int32_t{3}, kDecimal), 0);

  const std::string bytes = ReadFileBytes(log());
  EXPECT_NE(bytes.find("?action=\xCF\xF0\xE8\xE2\xE5\xF2\r\n"), std::string::npos);
  EXPECT_EQ(EventLogEntries(log()), (std::vector<std::string>{
                                        "Get request ok | ?action= | Return message: ok",
                                        "Get request ok | ?action=Привет",
                                        "Get request ok | ?action= | Return message: after",
                                        "Mess | 3 | Return message: Ret",
                                    }));
}

TEST_F(EventLogTest, RotationBoundary) {
  struct Case {
    uintmax_t size;
    bool rotates;
  };
  const std::vector<Case> cases = {
      {kLogRotationSize - 1, false},
      {kLogRotationSize, true},
      // The whole size counts, not its low 32 bits (4 GiB + 1 would read as 1).
      {(uintmax_t{1} << 32) + 1, true},
  };
  const std::string head = "old contents\r\n";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    WriteFileBytes(log(), head);
    std::filesystem::resize_file(log(), c.size);  // sparse: quick
    WriteFileBytes(rotated(), "earlier generation\r\n");

    ASSERT_EQ(WriteEvent(u"new entry", std::nullopt, int32_t{1}, kDecimal), 0);

    if (c.rotates) {
      EXPECT_EQ(EventLogEntries(log()), std::vector<std::string>{"new entry | 1"});
      EXPECT_EQ(std::filesystem::file_size(rotated()), c.size);
      std::ifstream old(rotated(), std::ios::binary);
      std::string start(head.size(), '\0');
      old.read(start.data(), static_cast<std::streamsize>(start.size()));
      EXPECT_EQ(start, head);
    } else {
      EXPECT_EQ(std::filesystem::file_size(log()), c.size + 23 + 13 + 2);
      EXPECT_EQ(ReadFileBytes(rotated()), "earlier generation\r\n");
    }
    std::filesystem::remove(log());
    std::filesystem::remove(rotated());
  }
}

TEST_F(EventLogTest, ConcurrentWritersRotateOnceAndKeepLinesWhole) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 100;
  const std::regex entry(R"(concurrent entry \| \d \| Return message: from a writer thread)");
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    WriteFileBytes(log(), "");
    std::filesystem::resize_file(log(), kLogRotationSize);
    // All writers find the full file at the same moment.
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t, &start] {
        start.arrive_and_wait();
        WriteEvent(u"concurrent entry", u"from a writer thread", int32_t{t}, kDecimal);
      });
    }
    for (auto& thread : threads) thread.join();

    // A second move would have put the fresh file over the old generation.
    ASSERT_EQ(std::filesystem::file_size(rotated()), kLogRotationSize);
    const auto entries = EventLogEntries(log());
    ASSERT_EQ(entries.size(), static_cast<size_t>(kThreads));
    for (const auto& line : entries) EXPECT_TRUE(std::regex_match(line, entry)) << line;
    ExpectWellFormedLines(ReadFileBytes(log()));
  }
}

}  // namespace
}  // namespace vemo::test
