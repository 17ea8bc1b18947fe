// Starting a provider by its name, the start from the provider box, and the token password
// prompt.

#include "providers/provider_start.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "providers/token_password.h"
#include "support/event_log.h"
#include "tests/fakes/fake_modules.h"
#include "tests/fakes/test_support.h"
#include "tests/providers/fake_host.h"

namespace vemo::test {
namespace {

class ProviderStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitEventLog(home_.DataFolder());
    SetProcessCodePage(NarrowCodePage::kDefault);
  }
  void TearDown() override { ResetEventLogForTesting(); }

  TempHome home_;
  FakeModules fakes_{home_.path() / "fake"};
  RecordingWindow window_;
  FakeHost host_{window_};
  Providers providers_{window_};
};

TEST_F(ProviderStartTest, NamesAreComparedExactly) {
  struct Case {
    std::u16string name;
    std::string active;  // afterwards
    std::vector<std::string> calls;
    std::vector<std::string> steps;
    std::vector<std::string> messages;
  };
  const std::vector<Case> cases = {
      {u"Авест", "Авест", {"AvCmInit mode=1"}, kCompletedStart, {}},
      {u"Энигма", "Энигма", {}, {}, {"MCardObserver для токена ЭНИГМЫ не запущен"}},
      {u"Энигма2", "Энигма2", {}, kCompletedStart, {}},
      {u"авест", "", {}, {}, {}},
      {u"АВЕСТ", "", {}, {}, {}},
      {u"Авест ", "", {}, {}, {}},
      {u"Энигма3", "", {}, {}, {}},
      {u"", "", {}, {}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(U8(c.name));
    fakes_.ClearCalls();
    RecordingWindow window;
    FakeHost host(window);
    Providers providers(window);
    providers.StartByName(c.name, host);
    EXPECT_EQ(U8(providers.active().Get()), c.active);
    EXPECT_EQ(fakes_.Calls(), c.calls);
    EXPECT_EQ(host.steps(), c.steps);
    EXPECT_EQ(window.Texts("message"), c.messages);
    EXPECT_EQ(window.Texts("enable_stop").size(), c.steps.empty() ? 0u : 1u);
  }
}

TEST_F(ProviderStartTest, SelectedEntryBecomesTheProviderTextAndIsStarted) {
  window_.AddProviderEntry(u"Энигма2");
  window_.Select(0);
  providers_.StartSelectedProvider(host_);
  EXPECT_EQ(ProcessCodePage(), NarrowCodePage::kCp1251);
  EXPECT_TRUE(providers_.active().Is(kEnigma2Name));
  std::vector<std::string> expected = {"SetProviderText Энигма2"};
  expected.insert(expected.end(), kCompletedStart.begin(), kCompletedStart.end());
  EXPECT_EQ(host_.steps(), expected);
}

TEST_F(ProviderStartTest, StartSelectedProviderWithoutSelectionOrWhileRunningStartsNothing) {
  window_.AddProviderEntry(u"Авест");
  providers_.StartSelectedProvider(host_);  // nothing selected
  EXPECT_EQ(ProcessCodePage(), NarrowCodePage::kCp1251) << "switched before anything else";
  window_.Select(0);
  host_.set_running(true);
  providers_.StartSelectedProvider(host_);
  EXPECT_TRUE(host_.steps().empty());
  EXPECT_TRUE(fakes_.Calls().empty());
  EXPECT_TRUE(providers_.active().Is(u""));
}

TEST_F(ProviderStartTest, AvestFromTheProviderBox) {
  window_.AddProviderEntry(u"Авест");
  window_.Select(0);
  providers_.StartSelectedProvider(host_);
  EXPECT_TRUE(providers_.active().Is(kAvestName));
  EXPECT_EQ(fakes_.Calls(), std::vector<std::string>{"AvCmInit mode=1"});
  EXPECT_EQ(host_.steps().front(), "SetProviderText Авест");
  EXPECT_EQ(host_.steps().size(), 1 + kCompletedStart.size());
}

TEST(TokenPassword, PromptResults) {
  struct Case {
    const char* name;
    std::optional<std::u16string> answer;
    int32_t expected;
    std::u16string password;  // TokenPassword afterwards
  };
  const std::vector<Case> cases = {
      {"ok", u"abc", 3, u"abc"},
      {"cancel keeps the last", std::nullopt, 0, u"abc"},
      {"ok with nothing typed", u"", 0, u""},
      {"cut to the field's 20", u"пароль_длиннее_двадцати", 20, u"пароль_длиннее_двадц"},
      {"exactly 20", u"12345678901234567890", 20, u"12345678901234567890"},
  };
  RecordingWindow window;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    window.QueuePasswords({c.answer});
    EXPECT_EQ(PromptTokenPassword(window), c.expected);
    EXPECT_EQ(TokenPassword(), c.password);
  }
  EXPECT_EQ(window.DialogCount(), static_cast<int>(cases.size()));
}

}  // namespace
}  // namespace vemo::test
