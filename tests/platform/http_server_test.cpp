#include "platform/http_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdio>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/server_certificate.h"
#include "support/result_code.h"
#include "tests/client/tls_client.h"
#include "tests/fakes/test_support.h"
#include "tests/platform/http_server_fixture.h"

namespace vemo::platform {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace test_http;

TEST_F(HttpServerTest, HandsOverRequestFieldsAsReceived) {
  struct Case {
    std::string request;
    HttpVerb verb;
    std::optional<std::u16string> query;
    std::optional<std::string> content_length;
    bool more;
    std::vector<std::pair<std::string, std::string>> unknown;
  };
  const std::vector<Case> cases = {
      {Get("/?action=checkLs&x=%D0%B0%20y",
           "option: 7\r\nOrigin: https://bank.example\r\nUser-Agent: t\r\naccept: */*\r\n"
           "sec-fetch-mode: cors\r\nX-Empty:\r\nCONNECTION: keep-alive\r\n"),
       HttpVerb::kGet,
       u"?action=checkLs&x=%D0%B0%20y",
       std::nullopt,
       false,
       {{"option", "7"},
        {"Origin", "https://bank.example"},
        {"sec-fetch-mode", "cors"},
        {"X-Empty", ""}}},
      {"POST /?action=getDocSign HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/plain\r\n"
       "OPTION: 1\r\nContent-Length: 5\r\n\r\nhello",
       HttpVerb::kPost,
       u"?action=getDocSign",
       "5",
       true,
       {{"OPTION", "1"}}},
      {"POST /?a HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       HttpVerb::kPost,
       u"?a",
       std::nullopt,
       true,
       {}},
      {"POST / HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n",
       HttpVerb::kPost,
       std::nullopt,
       "0",
       false,
       {}},
      {"OPTIONS /? HTTP/1.1\r\nHost: localhost\r\nAccess-Control-Request-Method: POST\r\n\r\n",
       HttpVerb::kOptions,
       u"?",
       std::nullopt,
       false,
       {{"Access-Control-Request-Method", "POST"}}},
      {Get("/?q=\xD0\xB0\xD1\x91"), HttpVerb::kGet, u"?q=аё", std::nullopt, false, {}},
      {"PUT / HTTP/1.1\r\nHost: h\r\n\r\n", HttpVerb::kPut, std::nullopt, std::nullopt, false, {}},
      {"DELETE / HTTP/1.1\r\nHost: h\r\n\r\n",
       HttpVerb::kDelete,
       std::nullopt,
       std::nullopt,
       false,
       {}},
      {"HEAD / HTTP/1.1\r\nHost: h\r\n\r\n",
       HttpVerb::kHead,
       std::nullopt,
       std::nullopt,
       false,
       {}},
      {"PROPFIND / HTTP/1.1\r\nHost: h\r\n\r\n",
       HttpVerb::kUnknown,
       std::nullopt,
       std::nullopt,
       false,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    auto client = Connect();
    ASSERT_TRUE(client->Send(c.request));
    const HttpRequest request = Receive();
    EXPECT_EQ(request.verb, c.verb);
    EXPECT_EQ(request.query, c.query);
    EXPECT_EQ(request.content_length, c.content_length);
    EXPECT_EQ(request.more_entity_body, c.more);
    std::vector<std::pair<std::string, std::string>> unknown;
    for (const auto& header : request.unknown_headers)
      unknown.emplace_back(header.name, header.value);
    EXPECT_EQ(unknown, c.unknown);
    EXPECT_EQ(server_->SendResponse(request.id, ServiceReply()), 0u);
  }
}

TEST_F(HttpServerTest, RepliesWithHeadersInOrderAndKeepsTheConnection) {
  auto client = Connect();
  RequestId previous = 0;
  for (int round = 0; round < 2; ++round) {
    ASSERT_TRUE(client->Send(Get("/?action=checkLs")));
    const HttpRequest request = Receive();
    EXPECT_NE(request.id, previous);
    previous = request.id;
    // A header that would break the reply into two is refused, and nothing is sent.
    HttpResponse bad = ServiceReply();
    bad.headers.push_back({"X-Injected", "a\r\nSet-Cookie: b"});
    EXPECT_EQ(server_->SendResponse(request.id, bad), kErrorInvalidParameter);
    ASSERT_EQ(server_->SendResponse(request.id, ServiceReply()), 0u);
    // One reply per request.
    EXPECT_EQ(server_->SendResponse(request.id, ServiceReply()), kErrorConnectionInvalid);
    const auto reply = client->ReadReply(kClientTimeout);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->head,
              "HTTP/1.1 200 OK\r\n"
              "Cache-Control: no-cache, no-store\r\n"
              "Content-Type: application/json; charset=utf-8\r\n"
              "Access-Control-Allow-Headers: Content-Type\r\n"
              "Access-Control-Allow-Credentials: true\r\n"
              "Access-Control-Allow-Origin: *\r\n"
              "Access-Control-Allow-Methods: POST, GET, OPTIONS\r\n"
              "Content-Length: 15\r\n"
              "\r\n");
    EXPECT_EQ(reply->body, R"({"status":"OK"})");
  }
}

TEST_F(HttpServerTest, EndsTheConnectionAfterTheReplyWhenItMust) {
  struct Case {
    const char* what;
    std::string request;
    bool closes;
  };
  const std::vector<Case> cases = {
      {"HTTP/1.1 default", Get("/"), false},
      {"body read to the end", "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nabc", false},
      {"Connection: close", Get("/", "Connection: close\r\n"), true},
      {"HTTP/1.0", "GET / HTTP/1.0\r\nHost: h\r\n\r\n", true},
      {"body left unread",
       "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 100000\r\n\r\n" + std::string(100000, 'x'),
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto client = Connect();
    ASSERT_TRUE(client->Send(c.request));
    const HttpRequest request = Receive();
    if (c.request.find("abc") != std::string::npos) {
      std::vector<uint32_t> statuses;
      EXPECT_EQ(ReadBody(request.id, 100, &statuses), "abc");
    }
    ASSERT_EQ(server_->SendResponse(request.id, ServiceReply()), 0u);
    const auto reply = client->ReadReply(kClientTimeout);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->head.find("Connection: close\r\n") != std::string::npos, c.closes);
    if (c.closes) {
      EXPECT_TRUE(client->ClosedByServer(kClientTimeout));
    } else {
      ASSERT_TRUE(client->Send(Get("/again")));
      EXPECT_EQ(Receive().query, std::nullopt);
    }
  }
}

// Requests sent ahead of their replies are served in order, and so is one that comes while
// the server is still watching the connection of the request before.
TEST_F(HttpServerTest, ServesPipelinedRequestsInOrder) {
  auto client = Connect();
  ASSERT_TRUE(
      client->Send(Get("/?a") + "POST /?b HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nxyz"));
  for (const char16_t* query : {u"?a", u"?b"}) {
    const HttpRequest request = Receive();
    EXPECT_EQ(request.query, query);
    std::vector<uint32_t> statuses;
    EXPECT_EQ(ReadBody(request.id, 100, &statuses), request.verb == HttpVerb::kPost ? "xyz" : "");
    ASSERT_EQ(server_->SendResponse(request.id, ServiceReply()), 0u);
  }
  ASSERT_TRUE(client->Send(Get("/?c")));
  auto next = std::async(std::launch::async, [&] { return Receive(); });
  if (next.wait_for(kClientTimeout) != std::future_status::ready) {
    server_->Terminate();
    FAIL() << "the request that came while the one before was answered is lost";
  }
  const HttpRequest request = next.get();
  EXPECT_EQ(request.query, u"?c");
  ASSERT_EQ(server_->SendResponse(request.id, ServiceReply()), 0u);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(client->ReadReply(kClientTimeout)) << i;
}

TEST_F(HttpServerTest, RequestLargerThanTheBufferIsReceivedAgainWithItsSize) {
  std::string filler;
  for (int i = 0; i < 16; ++i)
    filler += "X-Filler-" + std::to_string(i) + ": " + std::string(240, 'f') + "\r\n";
  auto client = Connect();
  ASSERT_TRUE(client->Send(Get("/?action=version", filler)));

  HttpRequest request;
  uint32_t needed = 0;
  ASSERT_EQ(server_->ReceiveRequest(0, kLoopBuffer, &request, &needed), kErrorMoreData);
  const RequestId id = request.id;
  ASSERT_NE(id, 0u);
  EXPECT_GT(needed, 4096u);
  uint32_t again = 0;
  EXPECT_EQ(server_->ReceiveRequest(id, needed - 1, &request, &again), kErrorMoreData);
  EXPECT_EQ(again, needed);
  ASSERT_EQ(server_->ReceiveRequest(id, needed, &request, &again), 0u);
  EXPECT_EQ(request.id, id);
  EXPECT_EQ(request.query, u"?action=version");
  EXPECT_EQ(request.unknown_headers.size(), 16u);
  ASSERT_EQ(server_->SendResponse(id, ServiceReply()), 0u);
  EXPECT_TRUE(client->ReadReply(kClientTimeout));

  // The client leaves while the loop enlarges its buffer.
  ASSERT_TRUE(client->Send(Get("/?action=version", filler)));
  ASSERT_EQ(server_->ReceiveRequest(0, kLoopBuffer, &request, &needed), kErrorMoreData);
  client->Close();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(server_->ReceiveRequest(request.id, needed, &request, &again), kErrorConnectionInvalid);
  EXPECT_LT(std::chrono::steady_clock::now() - started, limits_.reply_timeout);
}

TEST_F(HttpServerTest, TakenRequestLeftUnansweredGivesUpItsConnection) {
  auto client = Connect();
  ASSERT_TRUE(client->Send(Get("/?action=checkLs")));
  // The time in the queue does not count: only the loop's time with the request does.
  std::this_thread::sleep_for(limits_.reply_timeout + 300ms);
  const HttpRequest request = Receive();
  const auto taken = std::chrono::steady_clock::now();
  EXPECT_TRUE(client->ClosedByServer(kClientTimeout));
  EXPECT_GE(std::chrono::steady_clock::now() - taken, limits_.reply_timeout - 50ms);
  EXPECT_EQ(server_->SendResponse(request.id, ServiceReply()), kErrorConnectionInvalid);
}

TEST_F(HttpServerTest, DeliversTheBodyInPiecesEndingWith38) {
  struct Case {
    const char* what;
    std::string head;
    std::string wire;  // what follows the head
    std::string body;  // what the loop must read
    size_t piece;
  };
  const std::string big(10000, 'b');
  const std::string exact(8192, 'e');
  const std::string chunked = "bb8\r\n" + std::string(3000, 'c') + "\r\n1388\r\n" +
                              std::string(5000, 'd') + "\r\n1;ext=1\r\nz\r\n0\r\n\r\n";
  const std::string chunked_body = std::string(3000, 'c') + std::string(5000, 'd') + "z";
  const std::vector<Case> cases = {
      {"content length", "Content-Length: 10000\r\n", big, big, 4096},
      {"multiple of the piece", "Content-Length: 8192\r\n", exact, exact, 4096},
      {"chunked", "Transfer-Encoding: chunked\r\n", chunked, chunked_body, 4096},
      {"chunked, small pieces", "Transfer-Encoding: chunked\r\n", chunked, chunked_body, 97},
      {"chunked, empty", "Transfer-Encoding: chunked\r\n", "0\r\n\r\n", "", 4096},
      {"zero length", "Content-Length: 0\r\n", "", "", 4096},
      {"no body", "", "", "", 4096},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto client = Connect();
    ASSERT_TRUE(client->Send("POST /?action=getDocSign HTTP/1.1\r\nHost: h\r\n" + c.head + "\r\n" +
                             c.wire));
    const HttpRequest request = Receive();
    std::vector<uint32_t> statuses;
    EXPECT_EQ(ReadBody(request.id, c.piece, &statuses), c.body);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), kErrorHandleEof);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 0u), statuses.size() - 1);
    // Past the end it stays at the end.
    std::byte spare[16];
    uint32_t bytes = 1;
    EXPECT_EQ(server_->ReceiveEntityBody(request.id, spare, &bytes), kErrorHandleEof);
    EXPECT_EQ(bytes, 0u);
    // The body was read whole, so the connection goes on.
    ASSERT_EQ(server_->SendResponse(request.id, ServiceReply()), 0u);
    ASSERT_TRUE(client->ReadReply(kClientTimeout));
    ASSERT_TRUE(client->Send(Get("/")));
    EXPECT_EQ(server_->SendResponse(Receive().id, ServiceReply()), 0u);
  }
}

// The server asks for the body itself, since it receives the body before the loop sees the
// request.
TEST_F(HttpServerTest, AnswersExpectContinueBeforeTheBody) {
  auto client = Connect();
  ASSERT_TRUE(client->Send(
      "POST / HTTP/1.1\r\nHost: h\r\nExpect: 100-continue\r\nContent-Length: 4\r\n\r\n"));
  const auto interim = client->ReadReply(kClientTimeout);
  ASSERT_TRUE(interim);
  EXPECT_EQ(interim->head, "HTTP/1.1 100 Continue\r\n\r\n");
  ASSERT_TRUE(client->Send("data"));
  const HttpRequest request = Receive();
  std::vector<uint32_t> statuses;
  EXPECT_EQ(ReadBody(request.id, 4096, &statuses), "data");
}

// The body is in memory by the time the loop reads it; a client that left after sending it
// has left all the same.
TEST_F(HttpServerTest, ClientGoneAfterItsRequestGives1229) {
  struct Case {
    const char* what;
    bool tls_close;
  };
  for (const Case& c : {Case{"close_notify first", true}, Case{"TCP close only", false}}) {
    SCOPED_TRACE(c.what);
    auto client = Connect();
    ASSERT_TRUE(client->Send("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 10000\r\n\r\n" +
                             std::string(10000, 'x')));
    const HttpRequest request = Receive();
    client->Close(c.tls_close);
    ASSERT_TRUE(test::WaitFor([&] {
      uint32_t bytes = 0;
      return server_->ReceiveEntityBody(request.id, {}, &bytes) == kErrorConnectionInvalid;
    }));
    std::vector<uint32_t> statuses;
    ReadBody(request.id, 4096, &statuses);
    EXPECT_EQ(statuses, std::vector<uint32_t>{kErrorConnectionInvalid});
    EXPECT_EQ(server_->SendResponse(request.id, ServiceReply()), kErrorConnectionInvalid);
  }
}

// The loop ignores some verbs: such a request holds its own connection only, until the reply
// timeout gives it up.
TEST_F(HttpServerTest, UnansweredRequestDoesNotHoldUpOthers) {
  auto ignored = Connect();
  ASSERT_TRUE(ignored->Send("DELETE / HTTP/1.1\r\nHost: h\r\n\r\n"));
  EXPECT_EQ(Receive().verb, HttpVerb::kDelete);

  auto served = Connect();
  ASSERT_TRUE(served->Send(Get("/?action=checkLs")));
  const HttpRequest request = Receive();
  EXPECT_EQ(request.verb, HttpVerb::kGet);
  ASSERT_EQ(server_->SendResponse(request.id, ServiceReply()), 0u);
  EXPECT_TRUE(served->ReadReply(kClientTimeout));

  EXPECT_TRUE(ignored->ClosedByServer(kClientTimeout));
}

TEST_F(HttpServerTest, RefusesOversizedHeaders) {
  auto client = Connect();
  ASSERT_TRUE(
      client->Send(Get("/", "X-Big: " + std::string(limits_.max_header_bytes, 'h') + "\r\n")));
  const auto reply = client->ReadReply(kClientTimeout);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->head.substr(0, 13), "HTTP/1.1 431 ");
  EXPECT_TRUE(client->ClosedByServer(kClientTimeout));

  // The refused request never reached the queue.
  auto next = Connect();
  ASSERT_TRUE(next->Send(Get("/?next")));
  EXPECT_EQ(Receive().query, u"?next");
}

// Connections whose requests wait for the loop cannot make room: one too many is refused.
TEST_F(HttpServerTest, ClosesConnectionsBeyondTheLimitAtOnce) {
  std::vector<std::unique_ptr<TlsClient>> clients;
  for (size_t i = 0; i < limits_.max_connections; ++i) {
    clients.push_back(Connect());
    ASSERT_TRUE(clients.back()->Send(Get("/?queued")));
  }
  ASSERT_TRUE(test::WaitFor([&] { return ServerHasReadAll(port_, limits_.max_connections); }));
  EXPECT_NE(NewClient()->error(), "") << "one connection too many is refused";

  clients.front()->Close();
  EXPECT_TRUE(test::WaitFor([&] { return NewClient()->error().empty(); }));
}

TEST_F(HttpServerTest, PortHeldElsewhereGives183) {
  auto second = HttpServer::Create(certificate_.tls, limits_);
  EXPECT_EQ(second->AddUrl(Url(port_)), kErrorAlreadyExists);

  for (const auto& address : {asio::ip::address(asio::ip::address_v4::loopback()),
                              asio::ip::address(asio::ip::address_v6::loopback())}) {
    SCOPED_TRACE(address.to_string());
    const uint16_t port = PickFreePort();
    asio::io_context io;
    tcp::acceptor plain(io, tcp::endpoint(address, port));
    auto server = HttpServer::Create(certificate_.tls, limits_);
    EXPECT_EQ(server->AddUrl(Url(port)), kErrorAlreadyExists);
  }
}

TEST_F(HttpServerTest, TerminateEndsThePendingReceiveAndFreesThePort) {
  auto client = Connect();
  ASSERT_TRUE(client->Send("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello"));
  const HttpRequest taken = Receive();
  auto pending = std::async(std::launch::async, [&] {
    HttpRequest request;
    uint32_t bytes = 0;
    return server_->ReceiveRequest(0, kLoopBuffer, &request, &bytes);
  });
  EXPECT_EQ(pending.wait_for(100ms), std::future_status::timeout);
  server_->Terminate();
  ASSERT_EQ(pending.wait_for(kClientTimeout), std::future_status::ready);
  EXPECT_EQ(pending.get(), kErrorOperationAborted);

  HttpRequest request;
  uint32_t bytes = 0;
  std::byte buffer[16];
  EXPECT_EQ(server_->ReceiveRequest(0, kLoopBuffer, &request, &bytes), kErrorOperationAborted);
  EXPECT_EQ(server_->ReceiveEntityBody(taken.id, buffer, &bytes), kErrorOperationAborted);
  EXPECT_EQ(server_->SendResponse(taken.id, ServiceReply()), kErrorOperationAborted);
  EXPECT_TRUE(client->ClosedByServer(kClientTimeout));
  server_->Terminate();

  auto next = HttpServer::Create(certificate_.tls, limits_);
  EXPECT_EQ(next->AddUrl(Url(port_)), 0u);
}

// A body on its way holds nothing up, not even the end of the server.
TEST_F(HttpServerTest, TerminateEndsABodyOnItsWay) {
  limits_.body_rate_window = 60s;
  Start();
  auto client = Connect();
  ASSERT_TRUE(client->Send("POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhe"));
  auto pending = std::async(std::launch::async, [&] {
    HttpRequest request;
    uint32_t bytes = 0;
    return server_->ReceiveRequest(0, kLoopBuffer, &request, &bytes);
  });
  EXPECT_EQ(pending.wait_for(100ms), std::future_status::timeout);
  server_->Terminate();
  ASSERT_EQ(pending.wait_for(kClientTimeout), std::future_status::ready);
  EXPECT_EQ(pending.get(), kErrorOperationAborted);
  EXPECT_TRUE(client->ClosedByServer(kClientTimeout));
}

TEST_F(HttpServerTest, RefusesTlsOlderThan12) {
  struct Case {
    int version;
    bool accepted;
  };
  for (const Case& c :
       {Case{TLS1_1_VERSION, false}, Case{TLS1_2_VERSION, true}, Case{TLS1_3_VERSION, true}}) {
    SCOPED_TRACE(c.version);
    const auto client = NewClient({.tls_version = c.version});
    EXPECT_EQ(client->error().empty(), c.accepted) << client->error();
    if (!c.accepted) {
      // Refused by the server, not by our own client library.
      EXPECT_EQ(ERR_GET_REASON(client->tls_error()), SSL_R_TLSV1_ALERT_PROTOCOL_VERSION)
          << client->error();
    }
  }
}

TEST_F(HttpServerTest, ListensOnLoopbackOnly) {
  for (bool ipv6 : {false, true}) {
    auto client = Connect({.address = ipv6 ? "::1" : "127.0.0.1"});
    ASSERT_TRUE(client->Send(Get("/")));
    Receive();
  }

  // The kernel's socket tables show every listening socket on the port: loopback only. Read
  // there, so that no traffic goes to any other address of the machine.
  std::vector<std::string> listening;
  char port_hex[8];
  std::snprintf(port_hex, sizeof port_hex, ":%04X", port_);
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // the column names
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state;
      fields >> slot >> local >> remote >> state;
      if (state == "0A" && local.ends_with(port_hex)) listening.push_back(local);
    }
  }
  const std::string p(port_hex);
  // ::1 is left out only on a machine without IPv6.
  EXPECT_THAT(listening, ::testing::Contains("0100007F" + p));
  EXPECT_THAT(listening, ::testing::Each(::testing::AnyOf("0100007F" + p,
                                                          "00000000000000000000000001000000" + p)));
}

TEST_F(HttpServerTest, AddUrlTakesOnlyTheLocalhostAddress) {
  const std::string port = std::to_string(PickFreePort());
  for (const std::string& url :
       std::vector<std::string>{"http://localhost:" + port + "/", "https://127.0.0.1:" + port + "/",
                                "https://localhost/", "https://localhost:0/",
                                "https://localhost:70000/", "https://localhost:" + port + "/app/",
                                "https://localhost:" + port, "https://localhost:+" + port + "/"}) {
    auto server = HttpServer::Create(certificate_.tls, limits_);
    EXPECT_EQ(server->AddUrl(url), kErrorInvalidParameter) << url;
  }
  auto server = HttpServer::Create(
      {certificate_.tls.certificate_chain, certificate_.ca_certificate}, limits_);
  EXPECT_NE(server->AddUrl(Url(PickFreePort())), 0u) << "a key that does not fit the certificate";
}

}  // namespace
}  // namespace vemo::platform
