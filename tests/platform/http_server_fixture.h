#pragma once

// The HTTPS server layer on a free loopback port with a real TLS client, short limits, and the
// event log in a temporary HOME; shared by the server tests.

#include <gtest/gtest.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/http_server.h"
#include "platform/server_certificate.h"
#include "support/event_log.h"
#include "support/result_code.h"
#include "tests/client/tls_client.h"
#include "tests/fakes/test_support.h"

namespace vemo::platform::test_http {

using test::TlsClient;
using test::TlsClientOptions;
using namespace std::chrono_literals;

inline constexpr uint32_t kLoopBuffer = 2520;  // what the request loop starts with
inline constexpr auto kClientTimeout = 5s;

inline std::string Get(std::string_view target, std::string_view extra = "") {
  return "GET " + std::string(target) + " HTTP/1.1\r\nHost: localhost\r\n" + std::string(extra) +
         "\r\n";
}

// The reply every request of the service gets.
inline HttpResponse ServiceReply() {
  HttpResponse response;
  response.reason = "OK";
  response.cache_control = "no-cache, no-store";
  response.content_type = "application/json; charset=utf-8";
  response.headers = {{"Access-Control-Allow-Headers", "Content-Type"},
                      {"Access-Control-Allow-Credentials", "true"},
                      {"Access-Control-Allow-Origin", "*"},
                      {"Access-Control-Allow-Methods", "POST, GET, OPTIONS"}};
  response.body = R"({"status":"OK"})";
  return response;
}

// Serves as the request loop does, on a thread of its own: takes one request at a time and hands
// it to serve, until the server is terminated, which the destructor does.
class LoopThread {
 public:
  using Serve = std::function<void(HttpServer& server, const HttpRequest& request)>;
  LoopThread(HttpServer& server, Serve serve)
      : server_(server), serve_(std::move(serve)), thread_([this] { Run(); }) {}
  ~LoopThread() {
    server_.Terminate();
    thread_.join();
  }

 private:
  void Run() {
    for (;;) {
      HttpRequest request;
      uint32_t bytes = 0;
      const uint32_t rc = server_.ReceiveRequest(0, 1 << 20, &request, &bytes);
      if (rc == kErrorOperationAborted) return;
      if (rc == 0) serve_(server_, request);
    }
  }

  HttpServer& server_;
  const Serve serve_;
  std::thread thread_;
};

inline uint16_t PickFreePort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor probe(
      io, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  return probe.local_endpoint().port();
}

inline std::string Url(uint16_t port) { return "https://localhost:" + std::to_string(port) + "/"; }

// The server's side of the port's connections in the kernel's tables: local address, state
// ("01" established, "08" CLOSE-WAIT: the client has closed, the server not yet) and the bytes
// received that the server has not read yet.
struct ServerSocket {
  std::string state;
  unsigned long unread = 0;
};
inline std::vector<ServerSocket> ServerSockets(uint16_t port) {
  char port_hex[8];
  std::snprintf(port_hex, sizeof port_hex, ":%04X", port);
  std::vector<ServerSocket> sockets;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues;
      fields >> slot >> local >> remote >> state >> queues;
      if (!local.ends_with(port_hex) || state == "0A") continue;
      const size_t colon = queues.find(':');
      sockets.push_back({state, std::stoul(queues.substr(colon + 1), nullptr, 16)});
    }
  }
  return sockets;
}
inline int ConnectionsInState(uint16_t port, const std::string& state) {
  int count = 0;
  for (const auto& socket : ServerSockets(port)) count += socket.state == state ? 1 : 0;
  return count;
}
// Whether the server holds this many established connections and has read what each sent.
inline bool ServerHasReadAll(uint16_t port, size_t connections) {
  size_t read_all = 0;
  for (const auto& socket : ServerSockets(port)) {
    if (socket.state == "01" && socket.unread == 0) ++read_all;
  }
  return read_all == connections;
}

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitEventLog(home_.DataFolder());
    std::string error;
    ASSERT_TRUE(EnsureServerCertificate(home_.DataFolder(), &certificate_, &error)) << error;
    limits_.max_header_bytes = 8 * 1024;
    limits_.max_connections = 4;
    limits_.handshake_timeout = 2s;
    limits_.header_timeout = 2s;
    limits_.idle_timeout = 2s;
    limits_.write_timeout = 500ms;
    limits_.body_rate_window = 500ms;
    limits_.reply_timeout = 1s;
    Start();
  }
  void TearDown() override {
    server_.reset();
    ResetEventLogForTesting();
  }

  void Start() {
    server_.reset();
    for (int attempt = 0; attempt < 20; ++attempt) {
      server_ = HttpServer::Create(certificate_.tls, limits_);
      port_ = PickFreePort();
      const uint32_t result = server_->AddUrl(Url(port_));
      if (result == 0) return;
      ASSERT_EQ(result, kErrorAlreadyExists);
    }
    FAIL() << "no free port";
  }

  // A client that checks the server against our CA and waits at most kClientTimeout.
  std::unique_ptr<TlsClient> NewClient(TlsClientOptions options = {}) const {
    options.timeout = kClientTimeout;
    return std::make_unique<TlsClient>(port_, certificate_.ca_certificate, options);
  }

  std::unique_ptr<TlsClient> Connect(TlsClientOptions options = {}) const {
    auto client = NewClient(options);
    EXPECT_EQ(client->error(), "");
    return client;
  }

  HttpRequest Receive(uint32_t buffer = kLoopBuffer) {
    HttpRequest request;
    uint32_t bytes = 0;
    EXPECT_EQ(server_->ReceiveRequest(0, buffer, &request, &bytes), 0u);
    EXPECT_NE(request.id, 0u);
    return request;
  }

  // Reads the whole body in pieces of the given size; the statuses of all calls.
  std::string ReadBody(RequestId id, size_t piece, std::vector<uint32_t>* statuses) {
    std::string body;
    std::vector<std::byte> buffer(piece);
    for (int calls = 0; calls < 10000; ++calls) {
      uint32_t bytes = 0;
      const uint32_t status = server_->ReceiveEntityBody(id, buffer, &bytes);
      statuses->push_back(status);
      EXPECT_LE(bytes, piece);
      body.append(reinterpret_cast<const char*>(buffer.data()), bytes);
      if (status != 0) break;
    }
    return body;
  }

  std::vector<std::string> Log() const {
    return test::EventLogEntries(home_.DataFolder() / "Vemo_Server_Crypt_Z.log");
  }

  test::TempHome home_;
  ServerCertificate certificate_;
  ServerLimits limits_;
  std::unique_ptr<HttpServer> server_;
  uint16_t port_ = 0;
};

}  // namespace vemo::platform::test_http
