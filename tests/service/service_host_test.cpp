// The service host over the real HTTPS server on localhost:9009: the reply bytes, the
// preflight, verbs the loop ignores, large requests, a second copy, stop and start.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/service/service_fixture.h"

namespace vemo::test {
namespace {

const char kExpectedCheckLsReply[] =
    "HTTP/1.1 200 OK\r\n"
    "Cache-Control: no-cache, no-store\r\n"
    "Content-Type: application/json; charset=utf-8\r\n"
    "Access-Control-Allow-Headers: Content-Type, option\r\n"
    "Access-Control-Allow-Credentials: true\r\n"
    "Access-Control-Allow-Origin: *\r\n"
    "Access-Control-Allow-Methods: POST, GET, OPTIONS\r\n"
    "Content-Length: 15\r\n"
    "\r\n"
    "{\"status\":\"OK\"}";

class ServiceHostTest : public ServiceTest {
 protected:
  void SetUp() override {
    providers_.Enigma2Start(service_);
    ASSERT_TRUE(service_.ServerRunning());
  }
};

TEST_F(ServiceHostTest, CheckLsGetsTheExactReply) {
  auto reply = Send(GetRequest("/?action=checkLs"));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->raw, kExpectedCheckLsReply);
  EXPECT_EQ(Log(), std::vector<std::string>{"Get request ok | ?action=checkLs"});
  EXPECT_EQ(window_.Texts("log").back(), "Vemo_Server_Crypt запущен: Энигма2");
}

TEST_F(ServiceHostTest, ReachableOverIpv6LoopbackToo) {
  TlsClient client(kPort, Ca(), /*ipv6=*/true);
  ASSERT_TRUE(client.Send(GetRequest("/?action=checkLs")));
  auto reply = client.ReadReply();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->raw, kExpectedCheckLsReply);
}

TEST_F(ServiceHostTest, PreflightGetsTheSameReplyWhateverItAsks) {
  for (const std::string target : {"/?action=getDocSign", "/anything", "/"}) {
    auto reply = Send("OPTIONS " + target +
                      " HTTP/1.1\r\nHost: localhost:9009\r\nOrigin: https://bank.example\r\n"
                      "Access-Control-Request-Method: POST\r\n"
                      "Access-Control-Request-Headers: option, content-type\r\n\r\n");
    ASSERT_TRUE(reply) << target;
    EXPECT_EQ(reply->raw, kExpectedCheckLsReply) << target;
  }
  EXPECT_TRUE(Log().empty());
}

TEST_F(ServiceHostTest, IgnoredVerbsGetNoReplyAndTheNextRequestIsServed) {
  std::vector<std::unique_ptr<TlsClient>> waiting;
  for (const std::string verb : {"HEAD", "PUT", "DELETE"}) {
    auto client = std::make_unique<TlsClient>(kPort, Ca());
    ASSERT_TRUE(client->Send(verb + " /?action=checkLs HTTP/1.1\r\nHost: localhost\r\n"
                                    "Content-Length: 0\r\n\r\n"));
    waiting.push_back(std::move(client));
  }
  for (auto& client : waiting) {
    EXPECT_FALSE(client->ReadReply(std::chrono::milliseconds(300))) << "an ignored verb answered";
  }
  EXPECT_EQ(GetBody("/?action=version"), R"({"status":"OK","version":"2.3.2"})");
  EXPECT_EQ(Log(),
            std::vector<std::string>{"Get request ok | ?action=version | Return message: 2.3.2"});
}

TEST_F(ServiceHostTest, KeepAliveServesSeveralRequestsOnOneConnection) {
  TlsClient client(kPort, Ca());
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(client.Send(GetRequest("/?action=checkLs")));
    auto reply = client.ReadReply();
    ASSERT_TRUE(reply) << i;
    EXPECT_EQ(reply->raw, kExpectedCheckLsReply);
  }
}

TEST_F(ServiceHostTest, RequestWithLargeHeadersIsReceivedAgainAndServed) {
  // Past the 2048 bytes of texts that the first receive buffer holds.
  const std::string pad(4096, 'x');
  auto reply = Send(GetRequest("/?action=checkLs", "X-Pad: " + pad + "\r\n"));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->raw, kExpectedCheckLsReply);
  // Later requests, small and large, keep being served.
  EXPECT_EQ(GetBody("/?action=checkLs"), R"({"status":"OK"})");
  auto again = Send(GetRequest("/?action=version", "X-Pad: " + pad + pad + "\r\n"));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->body, R"({"status":"OK","version":"2.3.2"})");
}

TEST_F(ServiceHostTest, SecondCopyShowsTheMessageAndEndsWithCodeZero) {
  RecordingWindow second_window;
  ScriptedPrompt second_prompt;
  Providers second_providers(second_prompt);
  SigningService second(second_window, second_providers, Options());
  second_providers.Enigma2Start(second);
  EXPECT_EQ(exit_codes_, std::vector<int>{0});
  EXPECT_TRUE(second.Ending());
  // Nothing happens on the way out: no tray icon again, no stop button.
  EXPECT_TRUE(second_window.Texts("enable_stop").empty());
  EXPECT_EQ(second_window.Texts("message"),
            std::vector<std::string>{"Уже запущена копия Vemo_Server_Crypt"});
  EXPECT_FALSE(second_window.TrayPresent());
  EXPECT_FALSE(second.ServerRunning());
  // The first copy goes on serving.
  EXPECT_EQ(GetBody("/?action=checkLs"), R"({"status":"OK"})");
}

TEST_F(ServiceHostTest, StopFreesTheAddressAndStartRegistersItAgain) {
  service_.StopServer();
  EXPECT_FALSE(service_.ServerRunning());
  EXPECT_FALSE(PortAcceptsConnections(kPort));
  EXPECT_EQ(window_.Texts("log").back(), "Vemo_Server_Crypt остановлен");
  EXPECT_EQ(window_.TrayTip(), "Vemo_Server_Crypt остановлен");
  EXPECT_FALSE(window_.StopButtonVisible());
  EXPECT_EQ(providers_.active().Get(), u"");

  // A stop while stopped writes nothing.
  const size_t lines = window_.Events().size();
  service_.StopServer();
  EXPECT_EQ(window_.Events().size(), lines);

  providers_.Enigma2Start(service_);
  EXPECT_TRUE(service_.ServerRunning());
  EXPECT_EQ(window_.Texts("log").back(), "Vemo_Server_Crypt запущен: Энигма2");
  EXPECT_EQ(window_.TrayTip(), "Vemo_Server_Crypt запущен: Энигма2");
  EXPECT_EQ(GetBody("/?action=checkLs"), R"({"status":"OK"})");
}

TEST_F(ServiceHostTest, AddressHeldByAnotherListenerEndsThisCopy) {
  service_.StopServer();
  // Some other listener holds the port.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int reuse = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  providers_.Enigma2Start(service_);
  EXPECT_EQ(exit_codes_, std::vector<int>{0});
  ::close(fd);
  EXPECT_EQ(window_.Texts("message").back(), "Уже запущена копия Vemo_Server_Crypt");
  EXPECT_FALSE(window_.TrayPresent());
}

}  // namespace
}  // namespace vemo::test

namespace vemo::test {
namespace {

TEST_F(ServiceTest, CertificateThatCannotBeMadeFailsTheStartWithALogEntry) {
  WriteFileBytes(home_.path() / "not-a-folder", "x");
  SigningService::Options options = Options();
  options.certificate_folder = home_.path() / "not-a-folder" / "inside";
  SigningService service(window_, providers_, options);
  providers_.Enigma2Start(service);
  EXPECT_FALSE(service.ServerRunning());
  EXPECT_EQ(window_.Texts("log").back(), "Ошибка запуска сервера 13");
  const auto log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(
      log[0].rfind("Server certificate could not be created | " +
                       (home_.path() / "not-a-folder" / "inside").string() + " | Return message: ",
                   0),
      0u)
      << log[0];
}

}  // namespace
}  // namespace vemo::test
