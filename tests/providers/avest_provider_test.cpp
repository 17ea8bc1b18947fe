// The Avest provider through the real module loader with the scripted AvCryptMail and FCP
// (LD_LIBRARY_PATH points at the fakes' folder).

#include "providers/avest_provider.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/event_log.h"
#include "support/result_code.h"
#include "tests/fakes/fake_modules.h"
#include "tests/fakes/test_support.h"
#include "tests/providers/fake_host.h"

namespace vemo::test {
namespace {

using std::chrono::milliseconds;

constexpr size_t kGuardSize = 64;
constexpr char kGuardByte = '\x5A';

// The signature buffer with a guard region behind it that nothing may touch.
struct GuardedBuffer {
  GuardedBuffer() : bytes(kSignatureBufferSize + kGuardSize, kGuardByte) {}
  char* data() { return bytes.data(); }
  std::string Text() const { return std::string(bytes.data(), static_cast<size_t>(length)); }
  bool GuardIntact() const {
    return std::all_of(bytes.begin() + kSignatureBufferSize, bytes.end(),
                       [](char c) { return c == kGuardByte; });
  }
  std::vector<char> bytes;
  int32_t length = kSignatureBufferSize;
};

class AvestProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitEventLog(home_.DataFolder());
    SetProcessCodePage(NarrowCodePage::kDefault);
  }
  void TearDown() override { ResetEventLogForTesting(); }

  // A provider with the given timings, started.
  std::unique_ptr<AvestProvider> Started(milliseconds keeper_delay = milliseconds(1000)) {
    auto provider =
        std::make_unique<AvestProvider>(active_, ProviderTimings{keeper_delay, milliseconds(100)});
    provider->Start(host_);
    EXPECT_EQ(host_.steps(), kCompletedStart);
    fakes_.ClearCalls();
    return provider;
  }
  ResultCode Sign(AvestProvider& provider, GuardedBuffer& buffer,
                  std::string document = std::string(100, 'd')) {
    buffer.length = kSignatureBufferSize;
    return provider.Sign(std::move(document), buffer.data(), &buffer.length);
  }
  std::vector<std::string> Log() const { return EventLogEntries(LogPath()); }
  size_t LogCount(const std::string& entry) const {
    const auto log = Log();
    return static_cast<size_t>(std::count(log.begin(), log.end(), entry));
  }

  TempHome home_;
  FakeModules fakes_{home_.path() / "fake"};
  RecordingWindow window_;
  FakeHost host_{window_};
  ActiveProvider active_;
};

TEST_F(AvestProviderTest, StartInitialisesTheLibraryAndCompletesTheStart) {
  AvestProvider provider(active_);
  provider.Start(host_);
  EXPECT_TRUE(active_.Is(kAvestName));
  EXPECT_EQ(fakes_.Calls(), std::vector<std::string>{"AvCmInit mode=1"});
  EXPECT_EQ(host_.steps(), kCompletedStart);
  EXPECT_EQ(window_.Texts("enable_stop").size(), 1u);
  EXPECT_TRUE(window_.Texts("log").empty());
}

TEST_F(AvestProviderTest, FailingInitKeepsTheServiceStopped) {
  fakes_.Set("AvCmInit.1", "7");
  AvestProvider provider(active_);
  provider.Start(host_);
  EXPECT_TRUE(active_.Is(kAvestName));
  EXPECT_TRUE(host_.steps().empty());
  EXPECT_EQ(window_.Texts("log"), std::vector<std::string>{"Ошибка инициализации Авест"});
  EXPECT_TRUE(window_.Texts("enable_stop").empty());
  // The library stays loaded: the unload still finishes it.
  fakes_.ClearCalls();
  EXPECT_EQ(provider.Unload(), 0);
  EXPECT_EQ(fakes_.Calls(), std::vector<std::string>{"AvCmInit mode=2"});
}

TEST_F(AvestProviderTest, OneLoginServesSigningsWithinTheKeeperDelay) {
  auto provider = Started();
  fakes_.Set("AvCmLogin.handle", "11");
  fakes_.Set("sign_Avest.length", "3");
  GuardedBuffer buffer;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(Sign(*provider, buffer), 0);
    EXPECT_EQ(buffer.Text(), "AAEC");  // the bytes 0, 1, 2
  }
  EXPECT_EQ(fakes_.Calls("AvCmLogin"),
            std::vector<std::string>{"AvCmLogin flags=0 -> 0 handle=11"});
  EXPECT_EQ(fakes_.Calls("sign_Avest"),
            std::vector<std::string>(
                2, "sign_Avest handle=11 length=100 capacity=8192 flags=2100100 sign_ok=1 -> 0"));
  EXPECT_EQ(Log(), (std::vector<std::string>{"AvCmLogin retCode | 0", "AvCmSign retCode | 0",
                                             "AvCmLogin retCode | 0", "AvCmSign retCode | 0"}));
}

TEST_F(AvestProviderTest, KeeperEndsTheLoginAndTheNextSigningLogsInAgain) {
  auto provider = Started(milliseconds(300));
  fakes_.Set("AvCmLogin.handle", "21");
  GuardedBuffer buffer;
  const auto login_time = std::chrono::steady_clock::now();
  ASSERT_EQ(Sign(*provider, buffer), 0);
  ASSERT_TRUE(WaitFor([&] { return !fakes_.Calls("AvCmLogout").empty(); }));
  EXPECT_GE(std::chrono::steady_clock::now() - login_time, milliseconds(300));
  EXPECT_EQ(fakes_.Calls("AvCmLogout"),
            std::vector<std::string>{"AvCmLogout handle=21 flags=0 -> 0"});
  ASSERT_TRUE(WaitFor([&] { return LogCount("AvCmLogout retCode | 0") == 1; }));

  fakes_.Set("AvCmLogin.handle", "22");
  ASSERT_EQ(Sign(*provider, buffer), 0);
  EXPECT_EQ(fakes_.Calls("AvCmLogin").size(), 2u);
  EXPECT_EQ(fakes_.Calls("sign_Avest").back().rfind("sign_Avest handle=22 ", 0), 0u);
}

TEST_F(AvestProviderTest, ForgetMakesTheNextSigningLogInWithTheLastOptionFlags) {
  auto provider = Started();
  GuardedBuffer buffer;
  provider->SetLoginFlags(8);
  fakes_.Set("AvCmLogin.handle", "31");
  ASSERT_EQ(Sign(*provider, buffer), 0);
  provider->Forget();
  ASSERT_EQ(Sign(*provider, buffer), 0);
  provider->SetLoginFlags(9);
  provider->Forget();
  ASSERT_EQ(Sign(*provider, buffer), 0);
  provider->Forget();
  ASSERT_EQ(Sign(*provider, buffer), 0);
  EXPECT_EQ(fakes_.Calls("AvCmLogin"), (std::vector<std::string>{
                                           "AvCmLogin flags=8 -> 0 handle=31",
                                           "AvCmLogin flags=8 -> 0 handle=31",
                                           "AvCmLogin flags=9 -> 0 handle=31",
                                           "AvCmLogin flags=9 -> 0 handle=31",
                                       }));
  // A forget logs out without a log entry of its own.
  EXPECT_EQ(fakes_.Calls("AvCmLogout").size(), 3u);
  EXPECT_EQ(LogCount("AvCmLogout retCode | 0"), 0u);
}

// Each keeper, when it fires, ends whatever login is current then.
TEST_F(AvestProviderTest, AnOldKeeperLogsOutTheCurrentLogin) {
  auto provider = Started(milliseconds(1000));
  GuardedBuffer buffer;
  fakes_.Set("AvCmLogin.handle", "41");
  ASSERT_EQ(Sign(*provider, buffer), 0);
  provider->Forget();
  fakes_.Set("AvCmLogin.handle", "42");
  ASSERT_EQ(Sign(*provider, buffer), 0);
  ASSERT_TRUE(WaitFor([&] { return fakes_.Calls("AvCmLogout").size() == 3; }));
  EXPECT_EQ(fakes_.Calls("AvCmLogout"), (std::vector<std::string>{
                                            "AvCmLogout handle=41 flags=0 -> 0",  // forget
                                            "AvCmLogout handle=42 flags=0 -> 0",  // first keeper
                                            "AvCmLogout handle=0 flags=0 -> 0",   // second keeper
                                        }));
}

TEST_F(AvestProviderTest, LibraryResultsPassThroughAndAreLogged) {
  struct Case {
    const char* key;
    const char* value;
    ResultCode expected;
    std::vector<std::string> log;
    size_t sign_calls;
  };
  const std::vector<Case> cases = {
      {"AvCmLogin",
       "0xE82A0100",
       static_cast<ResultCode>(0xE82A0100),
       {"AvCmLogin retCode | E82A0100"},
       0},
      {"sign_Avest",
       "0xE82A010D",
       static_cast<ResultCode>(0xE82A010D),
       {"AvCmLogin retCode | 0", "AvCmSign retCode | E82A010D"},
       1},
      {"sign_Avest",
       "0xFF01",
       kAvestDllError1,
       {"AvCmLogin retCode | 0", "AvCmSign retCode | FF01"},
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    TempHome home;
    InitEventLog(home.DataFolder());
    FakeModules fakes(home.path() / "fake");
    fakes.Set(c.key, c.value);
    AvestProvider provider(active_);
    provider.Start(host_);
    GuardedBuffer buffer;
    EXPECT_EQ(Sign(provider, buffer), c.expected);
    EXPECT_EQ(EventLogEntries(LogPath()), c.log);
    EXPECT_EQ(fakes.Calls("sign_Avest").size(), c.sign_calls);
    EXPECT_TRUE(buffer.GuardIntact());
  }
}

TEST_F(AvestProviderTest, SignaturesThatDoNotFitFailCleanly) {
  struct Case {
    const char* length;  // what sign_Avest reports
    ResultCode expected;
    int32_t text_length;
    const char* sign_log;
  };
  const std::vector<Case> cases = {
      {"6141", 0, 8188, "AvCmSign retCode | 0"},  // 8188 characters and the caller's NUL fit
      {"6142", kSigningError, 0, "AvCmSign retCode | 0"},  // 8192 characters do not
      {"0", 0, 0, "AvCmSign retCode | 0"},
      {"8193", kSigningError, 0, "AvCmSign retCode | F04"},  // beyond the capacity
      {"-1", kSigningError, 0, "AvCmSign retCode | F04"},
  };
  auto provider = Started();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    fakes_.Set("sign_Avest.length", c.length);
    GuardedBuffer buffer;
    EXPECT_EQ(Sign(*provider, buffer), c.expected);
    EXPECT_TRUE(buffer.GuardIntact());
    EXPECT_EQ(Log().back(), c.sign_log);
    if (c.expected == 0) {
      EXPECT_EQ(buffer.length, c.text_length);
      EXPECT_EQ(buffer.Text().substr(0, 8),
                std::string("AAECAwQF").substr(0, buffer.Text().size()));
    }
  }
}

TEST_F(AvestProviderTest, UnloadLogsOutFinishesAndAPendingKeeperEndsWithoutTheLibrary) {
  auto provider = Started(milliseconds(100));
  fakes_.Set("AvCmLogin.handle", "51");
  GuardedBuffer buffer;
  ASSERT_EQ(Sign(*provider, buffer), 0);
  EXPECT_EQ(provider->Unload(), 0);
  EXPECT_EQ(fakes_.Calls("AvCmLogout"),
            std::vector<std::string>{"AvCmLogout handle=51 flags=0 -> 0"});
  EXPECT_EQ(fakes_.Calls("AvCmInit"), std::vector<std::string>{"AvCmInit mode=2"});
  EXPECT_EQ(Log().back(), "AvCmLogout retCode | 0");
  // Nothing to wait for but the keeper's own time: it must pass without a call.
  std::this_thread::sleep_for(milliseconds(400));
  EXPECT_EQ(fakes_.Calls().size(), 4u);  // login, signing, logout, finish
}

TEST_F(AvestProviderTest, UnloadStopsAtAFailingLogout) {
  auto provider = Started();
  GuardedBuffer buffer;
  ASSERT_EQ(Sign(*provider, buffer), 0);
  fakes_.Set("AvCmLogout", "5");
  EXPECT_EQ(provider->Unload(), 5);
  EXPECT_TRUE(fakes_.Calls("AvCmInit").empty());
  EXPECT_EQ(Log().back(), "AvCmLogout retCode | 5");
  // The library stayed; with the login gone the next unload finishes it.
  EXPECT_EQ(provider->Unload(), 0);
  EXPECT_EQ(fakes_.Calls("AvCmInit"), std::vector<std::string>{"AvCmInit mode=2"});
  EXPECT_EQ(fakes_.Calls("AvCmLogout").size(), 1u);
}

TEST_F(AvestProviderTest, DestroyingWithPendingKeepersReturnsPromptlyWithoutLibraryCalls) {
  auto provider = Started(std::chrono::minutes(1));
  GuardedBuffer buffer;
  ASSERT_EQ(Sign(*provider, buffer), 0);
  provider->Forget();
  ASSERT_EQ(Sign(*provider, buffer), 0);  // a second keeper beside the first
  fakes_.ClearCalls();
  const auto before = std::chrono::steady_clock::now();
  provider.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, milliseconds(500));
  EXPECT_TRUE(fakes_.Calls().empty());
}

}  // namespace
}  // namespace vemo::test
