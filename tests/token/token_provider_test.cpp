// The Avest provider over the bundled module and a real token: one PIN prompt serves every
// signing while the login is kept, and a new one is asked after the keeper ends the login and
// after "forget".

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "providers/avest_provider.h"
#include "support/base64.h"
#include "support/event_log.h"
#include "support/text_conversions.h"
#include "tests/providers/fake_host.h"
#include "tests/token/token_machine.h"

namespace vemo::test {
namespace {

using std::chrono::milliseconds;

TEST(TokenProviderTest, OnePromptPerLogin) {
  TokenMachine machine;
  machine.AddToken("Bank token");
  const auto certificate = machine.AddCertificate("Bank token", {.key = "rsa"});
  machine.SetAnswers({std::string("pin ") + kTokenPin});
  InitEventLog(machine.home().DataFolder());
  SetProcessCodePage(NarrowCodePage::kDefault);
  RecordingWindow window;
  FakeHost host(window);
  ActiveProvider active;
  AvestProvider provider(active, ProviderTimings{milliseconds(1500), milliseconds(3000)});
  provider.Start(host);
  ASSERT_EQ(host.steps(), kCompletedStart);

  const std::string document = "документ";
  auto sign = [&] {
    std::string buffer(kSignatureBufferSize, '\0');
    int32_t length = kSignatureBufferSize;
    EXPECT_EQ(provider.Sign(document, buffer.data(), &length), 0);
    EXPECT_TRUE(VerifiesWith(Base64Decode(buffer.substr(0, static_cast<size_t>(length))), document,
                             certificate));
  };
  auto logouts = [&] {
    const auto log = EventLogEntries(LogPath());
    return std::count_if(log.begin(), log.end(), [](const std::string& entry) {
      return entry.starts_with("AvCmLogout retCode");
    });
  };

  sign();
  sign();
  EXPECT_EQ(machine.Prompts().size(), 1u);
  ASSERT_TRUE(WaitFor([&] { return logouts() == 1; }));
  sign();
  EXPECT_EQ(machine.Prompts().size(), 2u);
  provider.Forget();
  sign();
  EXPECT_EQ(machine.Prompts().size(), 3u);
  EXPECT_EQ(provider.Unload(), 0);
  ResetEventLogForTesting();
}

}  // namespace
}  // namespace vemo::test
