// One client cannot hold up the others: slow and stalled bodies, requests the loop leaves
// unanswered, crowds of idle connections and bodies beyond the memory they may take, each
// against the real server on loopback with the other clients' figures beside it.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/http_server_fixture.h"

namespace vemo::platform {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace test_http;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The request loop: OPTIONS, GET and POST (after its whole body) answered, every other verb
// left unanswered.
class Loop {
 public:
  explicit Loop(HttpServer& server) : thread_(server, [this](auto&... args) { Serve(args...); }) {}
  // The queries of the requests taken so far.
  std::vector<std::string> Taken() const {
    std::lock_guard lock(mutex_);
    return taken_;
  }

 private:
  void Serve(HttpServer& server, const HttpRequest& request) {
    {
      std::lock_guard lock(mutex_);
      taken_.push_back(request.query ? test::U8(*request.query) : "");
    }
    if (request.verb == HttpVerb::kPost) {
      std::vector<std::byte> piece(64 * 1024);
      uint32_t bytes = 0;
      while (server.ReceiveEntityBody(request.id, piece, &bytes) == 0) {
      }
    }
    if (request.verb == HttpVerb::kGet || request.verb == HttpVerb::kPost ||
        request.verb == HttpVerb::kOptions) {
      server.SendResponse(request.id, ServiceReply());
    }
  }

  mutable std::mutex mutex_;
  std::vector<std::string> taken_;
  LoopThread thread_;
};

// What the well-behaved clients saw while another one misbehaved.
struct Figures {
  int answered = 0;
  Clock::duration slowest{};
  std::string Text() const {
    char text[96];
    std::snprintf(text, sizeof text, "%d answered, slowest %.1f ms", answered, Ms(slowest));
    return text;
  }
};

class HttpServerClientsTest : public HttpServerTest {
 protected:
  // Requests over one keep-alive connection, each answered within a second; a POST of 64 KiB
  // among them.
  Figures ServeOthers(int requests) {
    Figures figures;
    auto client = Connect();
    for (int i = 0; i < requests; ++i) {
      const auto sent = Clock::now();
      const std::string request =
          i % 4 == 3 ? test::PostRequest("/?action=getDocSign", std::string(64 * 1024, 'A'))
                     : Get("/?action=checkLs");
      if (!client->Send(request)) break;
      if (!client->ReadReply(1s)) break;
      figures.slowest = std::max(figures.slowest, Clock::now() - sent);
      ++figures.answered;
    }
    return figures;
  }
};

// Sends a request's bytes a few at a time until the server ends the connection; how long the
// connection lasted.
Clock::duration Trickle(TlsClient& client, std::string bytes, size_t each,
                        std::chrono::milliseconds every) {
  const auto started = Clock::now();
  for (size_t at = 0; Clock::now() - started < 20s; at += each) {
    if (!client.Send(bytes.substr(at % bytes.size(), each))) break;
    std::this_thread::sleep_for(every);
  }
  return Clock::now() - started;
}

TEST_F(HttpServerClientsTest, SlowBodyEndsAloneWhileOthersAreServed) {
  struct Case {
    const char* what;
    std::string head;
    std::string start;  // the first body bytes
    bool trickle;       // else it stalls, or leaves
    bool leaves;
  };
  const std::string post = "POST /?action=getDocSign&slow HTTP/1.1\r\nHost: h\r\n";
  const std::vector<Case> cases = {
      {"stalls after 10 bytes", post + "Content-Length: 1048576\r\n\r\n", "0123456789", false,
       false},
      {"chunked, stalls", post + "Transfer-Encoding: chunked\r\n\r\n", "400\r\n0123456789", false,
       false},
      {"trickles 4 bytes every 100 ms", post + "Content-Length: 1048576\r\n\r\n", "0123", true,
       false},
      {"leaves halfway", post + "Content-Length: 1048576\r\n\r\n", "0123456789", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Start();
    std::filesystem::remove(home_.DataFolder() / "Vemo_Server_Crypt_Z.log");
    Loop loop(*server_);
    auto slow = Connect();
    ASSERT_TRUE(slow->Send(c.head + c.start));
    const auto began = Clock::now();
    std::future<Clock::duration> trickler;
    if (c.trickle) {
      trickler = std::async(std::launch::async, [&] { return Trickle(*slow, "abcd", 4, 100ms); });
    }
    if (c.leaves) slow->Close(false);

    const Figures others = ServeOthers(20);
    EXPECT_EQ(others.answered, 20) << others.Text();
    std::printf("[ figures  ] %s: others %s\n", c.what, others.Text().c_str());

    if (c.trickle) {
      const auto lasted = trickler.get();
      EXPECT_LT(lasted, 3 * limits_.body_rate_window + 1s);
    } else if (!c.leaves) {
      EXPECT_TRUE(slow->ClosedByServer(3 * limits_.body_rate_window + 1s));
      EXPECT_GE(Clock::now() - began, limits_.body_rate_window - 50ms);
    }
    EXPECT_TRUE(test::WaitFor([&] { return ConnectionsInState(port_, "08") == 0; }));
    const auto taken = loop.Taken();
    EXPECT_EQ(std::count(taken.begin(), taken.end(), "?action=getDocSign&slow"), 0)
        << "the loop never saw the slow request";
    const std::string why = c.leaves ? "cut short" : "too slow";
    EXPECT_EQ(Log(), std::vector<std::string>{"Request data " + why +
                                              ", connection closed | ?action=getDocSign&slow"});
  }
}

// The loop is handed a request only once its body is whole: a pause within the rate window
// keeps the request back, not the loop.
TEST_F(HttpServerClientsTest, BodyArrivesWholeBeforeTheLoopSeesIt) {
  auto client = Connect();
  ASSERT_TRUE(client->Send(test::PostRequest("/?a", "0123456789").substr(0, 60)));
  auto pending = std::async(std::launch::async, [&] { return Receive(); });
  EXPECT_EQ(pending.wait_for(100ms), std::future_status::timeout);
  ASSERT_TRUE(client->Send(test::PostRequest("/?a", "0123456789").substr(60)));
  const HttpRequest request = pending.get();
  std::vector<uint32_t> statuses;
  EXPECT_EQ(ReadBody(request.id, 7, &statuses), "0123456789");
  EXPECT_EQ(statuses, (std::vector<uint32_t>{0, kErrorHandleEof}));
}

// HEAD and other verbs the loop does not answer: their connections go as soon as their
// clients close, and otherwise after the idle timeout once the loop has gone on.
TEST_F(HttpServerClientsTest, RequestsLeftUnansweredDoNotAccumulate) {
  limits_.reply_timeout = 30s;  // far beyond the idle timeout that a left request gets
  Start();
  Loop loop(*server_);
  const auto began = Clock::now();
  for (int i = 0; i < 80; ++i) {
    auto client = Connect();
    ASSERT_TRUE(client->Send("HEAD /?head HTTP/1.1\r\nHost: h\r\n\r\n"));
    client->Close();
  }
  const auto sent = Clock::now();
  const Figures next = ServeOthers(4);
  EXPECT_EQ(next.answered, 4);
  std::printf("[ figures  ] 80 HEADs sent and closed in %.0f ms: next client %s\n",
              Ms(sent - began), next.Text().c_str());
  // Gone with their clients, well before the idle timeout.
  EXPECT_TRUE(test::WaitFor([&] { return ConnectionsInState(port_, "08") == 0; }, 1s));

  // A client that keeps its connection: closed once the loop has gone on, after the idle
  // timeout.
  auto kept = Connect();
  ASSERT_TRUE(kept->Send("HEAD /?kept HTTP/1.1\r\nHost: h\r\n\r\n"));
  const auto sent_kept = Clock::now();
  ASSERT_TRUE(test::WaitFor([&] { return loop.Taken().back() == "?kept"; }));
  EXPECT_TRUE(kept->ClosedByServer(limits_.idle_timeout + 2s));
  EXPECT_GE(Clock::now() - sent_kept, limits_.idle_timeout - 100ms);
  EXPECT_LT(Clock::now() - sent_kept, limits_.idle_timeout + 2s);
}

// A connection that only dribbles: raw TCP without a handshake, or a TLS one without a
// request. Closed by the server means the peer's close arrives.
class Dribbler {
 public:
  enum Kind { kNoHandshake, kIdle, kHalfHeader, kLeftUnanswered };
  Dribbler(Kind kind, const std::filesystem::path& ca, uint16_t port) : socket_(io_) {
    if (kind == kNoHandshake) {
      socket_.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
      return;
    }
    tls_ = std::make_unique<TlsClient>(port, ca, TlsClientOptions{.timeout = kClientTimeout});
    if (kind == kHalfHeader) tls_->Send("GET / HT");
    if (kind == kLeftUnanswered) tls_->Send("HEAD / HTTP/1.1\r\nHost: h\r\n\r\n");
  }
  bool connected() const { return !tls_ || tls_->error().empty(); }
  bool ClosedByServer(std::chrono::milliseconds timeout) {
    if (tls_) return tls_->ClosedByServer(timeout);
    pollfd poll_fd{socket_.native_handle(), POLLIN, 0};
    if (::poll(&poll_fd, 1, static_cast<int>(timeout.count())) != 1) return false;
    char byte;
    return ::recv(socket_.native_handle(), &byte, 1, 0) <= 0;
  }

 private:
  asio::io_context io_;
  tcp::socket socket_;
  std::unique_ptr<TlsClient> tls_;
};

TEST_F(HttpServerClientsTest, CrowdOfIdleConnectionsMakesRoomForNewOnes) {
  struct Case {
    const char* what;
    Dribbler::Kind kind;
  };
  for (const Case& c : {Case{"without a handshake", Dribbler::kNoHandshake},
                        Case{"idle after the handshake", Dribbler::kIdle},
                        Case{"half a header", Dribbler::kHalfHeader},
                        Case{"left unanswered", Dribbler::kLeftUnanswered}}) {
    SCOPED_TRACE(c.what);
    Start();
    Loop loop(*server_);
    std::vector<std::unique_ptr<Dribbler>> crowd;
    for (size_t i = 0; i < 3 * limits_.max_connections; ++i) {
      crowd.push_back(std::make_unique<Dribbler>(c.kind, certificate_.ca_certificate, port_));
      ASSERT_TRUE(crowd.back()->connected());
      if (c.kind == Dribbler::kLeftUnanswered) {
        ASSERT_TRUE(test::WaitFor([&] { return loop.Taken().size() == i + 1; }));
      } else {
        const size_t held = std::min(i + 1, limits_.max_connections);
        ASSERT_TRUE(test::WaitFor([&] { return ServerHasReadAll(port_, held); }));
      }
    }
    const Figures newcomer = ServeOthers(4);
    EXPECT_EQ(newcomer.answered, 4);
    std::printf("[ figures  ] %zu connections %s at a cap of %zu: a new client %s\n", crowd.size(),
                c.what, limits_.max_connections, newcomer.Text().c_str());
    // The oldest made room; the newest are still there.
    EXPECT_TRUE(crowd.front()->ClosedByServer(1s));
    EXPECT_FALSE(crowd.back()->ClosedByServer(0ms));
  }
}

TEST_F(HttpServerClientsTest, BodiesTogetherStayWithinTheirMemory) {
  limits_.body_memory = 256 * 1024;
  Start();
  auto first = Connect();
  ASSERT_TRUE(first->Send(test::PostRequest("/?first", std::string(200'000, 'f'))));
  const HttpRequest taken = Receive();  // its body is held in memory until the loop reads it

  auto refused = Connect();
  ASSERT_TRUE(refused->Send(test::PostRequest("/?refused", std::string(100'000, 'r'))));
  EXPECT_TRUE(refused->ClosedByServer(kClientTimeout));
  EXPECT_EQ(Log(), std::vector<std::string>{
                       "No memory for the request data, connection closed | ?refused"});

  // Read, the first body gives its memory back.
  std::vector<uint32_t> statuses;
  EXPECT_EQ(ReadBody(taken.id, 300'000, &statuses).size(), 200'000u);
  EXPECT_EQ(server_->SendResponse(taken.id, ServiceReply()), 0u);
  auto next = Connect();
  ASSERT_TRUE(next->Send(test::PostRequest("/?next", std::string(100'000, 'n'))));
  const HttpRequest request = Receive();
  EXPECT_EQ(request.query, u"?next");
  EXPECT_EQ(ReadBody(request.id, 300'000, &statuses), std::string(100'000, 'n'));
}

// A body larger than the server keeps is not received for the loop: a declared one is handed
// over unread (without asking the client for it), a chunked one cut at the limit. Either way
// the loop can refuse it from what it has, and the connection ends with the reply.
TEST_F(HttpServerClientsTest, BodyLargerThanKeptIsHandedOverUnreadOrCut) {
  limits_.max_body_in_memory = 64 * 1024;
  Start();
  struct Case {
    const char* what;
    std::string request;
    size_t kept;
  };
  std::string chunked = "POST /?big HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 10; ++i) chunked += "2710\r\n" + std::string(10'000, 'c') + "\r\n";
  chunked += "0\r\n\r\n";
  const std::vector<Case> cases = {
      {"declared",
       "POST /?big HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\n"
       "Content-Length: 100000\r\n\r\n",
       0},
      {"chunked", chunked, limits_.max_body_in_memory},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto client = Connect();
    ASSERT_TRUE(client->Send(c.request));
    const HttpRequest request = Receive();
    EXPECT_TRUE(request.more_entity_body);
    std::vector<uint32_t> statuses;
    EXPECT_EQ(ReadBody(request.id, 10'000, &statuses).size(), c.kept);
    EXPECT_EQ(statuses.back(), kErrorNotEnoughMemory);
    ASSERT_EQ(server_->SendResponse(request.id, ServiceReply()), 0u);
    const auto reply = client->ReadReply(kClientTimeout);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status_line, "HTTP/1.1 200 OK") << "no 100 Continue before it";
    EXPECT_NE(reply->head.find("Connection: close\r\n"), std::string::npos);
  }
}

}  // namespace
}  // namespace vemo::platform
