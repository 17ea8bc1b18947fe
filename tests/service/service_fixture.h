#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "providers/provider_start.h"
#include "service/service_host.h"
#include "support/event_log.h"
#include "support/text_conversions.h"
#include "tests/client/tls_client.h"
#include "tests/fakes/fake_modules.h"
#include "tests/fakes/test_support.h"

namespace vemo::test {

inline constexpr uint16_t kPort = 9009;

// The real service on https://localhost:9009/ in a temporary HOME, with the scripted outside
// modules, a recording window and short keeper timings.
class ServiceTest : public ::testing::Test {
 protected:
  ServiceTest()
      : fakes_(home_.path() / "fakes"),
        providers_(prompt_, ProviderTimings{std::chrono::milliseconds(1500),
                                            std::chrono::milliseconds(300)}),
        service_(window_, providers_, Options()) {
    SetProcessCodePage(NarrowCodePage::kDefault);
    InitEventLog(home_.DataFolder());
  }
  ~ServiceTest() override { ResetEventLogForTesting(); }

  // Every service of the test records its exit code here.
  SigningService::Options Options() {
    SigningService::Options options;
    options.quit = [this](int code) { exit_codes_.push_back(code); };
    return options;
  }

  std::filesystem::path Ca() const { return home_.DataFolder() / "localhost-ca.pem"; }

  std::optional<RawReply> Send(const std::string& request) {
    return Exchange(kPort, Ca(), request);
  }
  std::string GetBody(const std::string& target) {
    auto reply = Send(GetRequest(target));
    return reply ? reply->body : "<no reply>";
  }
  std::string PostBody(const std::string& target, const std::string& body,
                       const std::string& headers = "") {
    auto reply = Send(PostRequest(target, body, headers));
    return reply ? reply->body : "<no reply>";
  }
  std::vector<std::string> Log() const {
    return EventLogEntries(home_.DataFolder() / "Vemo_Server_Crypt_Z.log");
  }
  void ClearLog() const { std::filesystem::remove(home_.DataFolder() / "Vemo_Server_Crypt_Z.log"); }

  TempHome home_;
  FakeModules fakes_;
  std::vector<int> exit_codes_;
  RecordingWindow window_;
  ScriptedPrompt prompt_;
  Providers providers_;
  SigningService service_;
};

}  // namespace vemo::test
