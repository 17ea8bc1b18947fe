// Starting a provider by its name, the start from the provider box, and the token password
// prompt.

#include "providers/provider_start.h"

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>
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
  ScriptedPrompt prompt_;
  FakeHost host_{window_};
  Providers providers_{prompt_};
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
    ScriptedPrompt prompt;
    FakeHost host(window);
    Providers providers(prompt);
    providers.StartByName(c.name, host);
    EXPECT_EQ(U8(providers.active().Get()), c.active);
    EXPECT_EQ(fakes_.Calls(), c.calls);
    EXPECT_EQ(host.steps(), c.steps);
    EXPECT_EQ(window.Texts("message"), c.messages);
    EXPECT_EQ(window.Texts("enable_stop").size(), c.steps.empty() ? 0u : 1u);
  }
}

TEST_F(ProviderStartTest, SelectedEntryBecomesTheProviderTextAndIsStarted) {
  host_.set_selected(u"Энигма2");
  providers_.StartSelectedProvider(host_);
  EXPECT_EQ(ProcessCodePage(), NarrowCodePage::kCp1251);
  EXPECT_TRUE(providers_.active().Is(kEnigma2Name));
  std::vector<std::string> expected = {"SetProviderText Энигма2"};
  expected.insert(expected.end(), kCompletedStart.begin(), kCompletedStart.end());
  EXPECT_EQ(host_.steps(), expected);
}

TEST_F(ProviderStartTest, StartSelectedProviderWithoutSelectionOrWhileRunningStartsNothing) {
  providers_.StartSelectedProvider(host_);  // nothing selected
  EXPECT_EQ(ProcessCodePage(), NarrowCodePage::kCp1251) << "switched before anything else";
  host_.set_selected(u"Авест");
  host_.set_running(true);
  providers_.StartSelectedProvider(host_);
  EXPECT_TRUE(host_.steps().empty());
  EXPECT_TRUE(fakes_.Calls().empty());
  EXPECT_TRUE(providers_.active().Is(u""));
}

TEST_F(ProviderStartTest, AvestFromTheProviderBox) {
  host_.set_selected(u"Авест");
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
    std::u16string password;  // the caller's password afterwards
  };
  const std::vector<Case> cases = {
      {"ok", u"abc", 3, u"abc"},
      {"cancel keeps the last", std::nullopt, 0, u"abc"},
      {"ok with nothing typed", u"", 0, u""},
      {"cut to the field's 20", u"пароль_длиннее_двадцати", 20, u"пароль_длиннее_двадц"},
      {"exactly 20", u"12345678901234567890", 20, u"12345678901234567890"},
  };
  ScriptedPrompt prompt;
  SecretWide password;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    prompt.QueuePasswords({c.answer});
    EXPECT_EQ(PromptTokenPassword(prompt, &password), c.expected);
    EXPECT_EQ(password.view(), c.password);
  }
  EXPECT_EQ(prompt.DialogCount(), static_cast<int>(cases.size()));
}

// The UI side ends a prompt: before its dialog was shown, while it is open, and while prompts
// are refused (a stop in progress).
TEST(PasswordPrompt, CancelFromTheUiEndsTheWaitingAsk) {
  ScriptedPrompt prompt;
  prompt.HoldDialogs();
  std::optional<std::optional<SecretWide>> result;
  std::thread asker([&] { result = prompt.Ask(); });
  ASSERT_TRUE(WaitFor([&] { return prompt.DialogCount() == 1; }));
  EXPECT_TRUE(prompt.IsOpen());
  prompt.Cancel();
  asker.join();
  ASSERT_TRUE(result);
  EXPECT_FALSE(*result) << "cancelled, not answered";
  EXPECT_EQ(prompt.ClosedCount(), 1);
  EXPECT_FALSE(prompt.IsOpen());

  // A stray answer from a dialog already closed reaches nobody.
  prompt.Answer(SecretWide(std::u16string(u"late")));
  EXPECT_FALSE(prompt.IsOpen());

  prompt.Refuse();
  EXPECT_FALSE(prompt.Ask()) << "no dialog while refused";
  EXPECT_EQ(prompt.DialogCount(), 1);
  prompt.Allow();
  std::thread again([&] { result = prompt.Ask(); });
  ASSERT_TRUE(WaitFor([&] { return prompt.DialogCount() == 2; }));
  prompt.Answer(SecretWide(std::u16string(u"secret")));
  again.join();
  ASSERT_TRUE(result && *result);
  EXPECT_EQ((*result)->view(), u"secret");
  EXPECT_EQ(prompt.ClosedCount(), 1);
}

// A cancel that comes after the request but before the UI thread shows the dialog: no dialog
// opens at all.
TEST(PasswordPrompt, CancelBeforeTheDialogIsShownShowsNone) {
  struct Deferred : PasswordPrompt {
    Deferred() : PasswordPrompt([this](std::function<void()> task) { Post(std::move(task)); }) {}
    void Post(std::function<void()> task) {
      std::lock_guard lock(mutex);
      tasks.push_back(std::move(task));
    }
    void RunPosted() {
      std::vector<std::function<void()>> ready;
      {
        std::lock_guard lock(mutex);
        ready.swap(tasks);
      }
      for (auto& task : ready) task();
    }
    void ShowDialog() override { ++shown; }
    void CloseDialog() override { ++closed; }
    std::mutex mutex;
    std::vector<std::function<void()>> tasks;
    std::atomic<int> shown{0};
    std::atomic<int> closed{0};
  } prompt;
  std::thread asker([&] { EXPECT_FALSE(prompt.Ask()); });
  ASSERT_TRUE(WaitFor([&] { return prompt.IsOpen(); }));
  prompt.Cancel();
  asker.join();
  prompt.RunPosted();  // the UI thread comes to the show task only now
  EXPECT_EQ(prompt.shown, 0);
  EXPECT_EQ(prompt.closed, 0);
}

}  // namespace
}  // namespace vemo::test
