// The real signing service on https://localhost:9009/ with the limits it runs with and the
// scripted signer, tried as a hostile local program would try it. Every test reports what the
// well-behaved clients saw meanwhile: checkLs answered within a second, a getDocSign signed in
// about its usual time, and the misbehaving client ending alone.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/base64.h"
#include "tests/service/service_fixture.h"

namespace vemo::test {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kDocument = Base64Encode(std::string(48 * 1024, 'd'));
const platform::ServerLimits kLimits = SigningService::DefaultLimits();

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Server-side connections of port 9009 that the client has closed and the server not yet.
int CloseWaitConnections() {
  int count = 0;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (state == "08" && local.ends_with(":2331")) ++count;
    }
  }
  return count;
}

struct Figures {
  Clock::duration slowest_check{};
  Clock::duration sign{};
  bool all_answered = true;
};

class HostileClientsTest : public ServiceTest {
 protected:
  void SetUp() override {
    service_.provider_box().Add(kAvestName);
    service_.provider_box().Select(0);
    providers_.StartByName(kAvestName, service_);
    ASSERT_TRUE(service_.ServerRunning());
    // The usual time of a signing, with nobody else about.
    std::vector<Clock::duration> times;
    for (int i = 0; i < 5; ++i) times.push_back(TimeSign());
    std::sort(times.begin(), times.end());
    usual_sign_ = times[times.size() / 2];
    ClearLog();
  }

  Clock::duration TimeSign() {
    const auto sent = Clock::now();
    const std::string body = PostBody("/?action=getDocSign", kDocument);
    EXPECT_EQ(body.rfind(R"({"sign":")", 0), 0u) << body;
    return Clock::now() - sent;
  }

  // checkLs from ten clients, each on its own connection, and a getDocSign from one more.
  Figures Others(const char* while_what) {
    Figures figures;
    for (int i = 0; i < 10; ++i) {
      const auto sent = Clock::now();
      const auto reply = Exchange(kPort, Ca(), GetRequest("/?action=checkLs"));
      figures.all_answered = figures.all_answered && reply && reply->body == R"({"status":"OK"})";
      figures.slowest_check = std::max(figures.slowest_check, Clock::now() - sent);
    }
    figures.sign = TimeSign();
    std::printf("[ figures  ] %s: checkLs slowest %.1f ms of 10; getDocSign %.1f ms (usual %.1f)\n",
                while_what, Ms(figures.slowest_check), Ms(figures.sign), Ms(usual_sign_));
    EXPECT_TRUE(figures.all_answered);
    EXPECT_LT(figures.slowest_check, 1s);
    EXPECT_LT(figures.sign, std::max<Clock::duration>(3 * usual_sign_, usual_sign_ + 250ms));
    return figures;
  }

  std::string SlowRequestHead() const {
    return "POST /?action=getDocSign HTTP/1.1\r\nHost: localhost\r\n"
           "Content-Length: 1048576\r\n\r\n";
  }

  Clock::duration usual_sign_{};
};

TEST_F(HostileClientsTest, StalledBodyHoldsUpNobodyAndEndsAlone) {
  TlsClient slow(kPort, Ca());
  ASSERT_TRUE(slow.Send(SlowRequestHead() + "0123456789"));
  const auto began = Clock::now();
  Others("a body stalled after 10 bytes");
  EXPECT_TRUE(slow.ClosedByServer(2 * kLimits.body_rate_window));
  std::printf("[ figures  ] the stalled client ended after %.1f s\n",
              Ms(Clock::now() - began) / 1000);
  const auto log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "Request data too slow, connection closed | ?action=getDocSign"),
            1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "Post request data reading | ?action=getDocSign"), 1)
      << "only the well-behaved getDocSign reached the request loop";
}

TEST_F(HostileClientsTest, TrickledBodyHoldsUpNobodyAndEndsAlone) {
  TlsClient slow(kPort, Ca());
  ASSERT_TRUE(slow.Send(SlowRequestHead()));
  const auto began = Clock::now();
  // 4 bytes every 0.5 s until the server ends the connection.
  auto trickler = std::async(std::launch::async, [&] {
    while (Clock::now() - began < 30s && slow.Send("QUJD")) std::this_thread::sleep_for(500ms);
    return Clock::now() - began;
  });
  Others("a body trickled 4 bytes every 0.5 s");
  const auto lasted = trickler.get();
  std::printf("[ figures  ] the trickling client ended after %.1f s\n", Ms(lasted) / 1000);
  EXPECT_LT(lasted, 2 * kLimits.body_rate_window + 1s);
  const auto log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "Request data too slow, connection closed | ?action=getDocSign"),
            1);
}

TEST_F(HostileClientsTest, HeadRequestsSentAndClosedLeaveTheServerAnswering) {
  for (int i = 0; i < 80; ++i) {
    TlsClient client(kPort, Ca());
    ASSERT_EQ(client.error(), "");
    ASSERT_TRUE(client.Send("HEAD / HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    client.Close();
  }
  Others("80 HEAD requests sent and closed");
  EXPECT_TRUE(WaitFor([] { return CloseWaitConnections() == 0; }, 5s))
      << CloseWaitConnections() << " connections the clients closed are still held";
}

TEST_F(HostileClientsTest, CrowdOfIdleConnectionsKeepsNobodyOut) {
  for (const size_t crowd_size : {size_t{200}, kLimits.max_connections + 44}) {
    SCOPED_TRACE(crowd_size);
    std::vector<std::unique_ptr<TlsClient>> crowd;
    for (size_t i = 0; i < crowd_size; ++i) {
      crowd.push_back(std::make_unique<TlsClient>(kPort, Ca()));
      ASSERT_EQ(crowd.back()->error(), "") << i;
    }
    const std::string what = std::to_string(crowd_size) + " idle TLS connections held open (cap " +
                             std::to_string(kLimits.max_connections) + ")";
    Others(what.c_str());
  }
}

}  // namespace
}  // namespace vemo::test
