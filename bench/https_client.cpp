// Serial keep-alive requests over one TLS connection: requests per second and the latency of
// one request (write to last byte of the reply).
//
//   https_client [--post=BYTES] HOST PORT PATH COUNT [CA_FILE]
//
// GET by default; with --post each request is a POST of a Base64 body of that many bytes.
// With CA_FILE the server must present a certificate for HOST that the CA vouches for;
// without it the certificate is not checked.

#include <strings.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <random>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/client/tls_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using vemo::test::RawReply;
using vemo::test::TlsClient;
using vemo::test::TlsClientOptions;

constexpr int kWarmUpRequests = 10;
constexpr int kWarmUpPosts = 1;
constexpr auto kReplyTimeout = std::chrono::seconds(30);

double Percentile(std::vector<double> sorted, double fraction) {
  if (sorted.empty()) return 0;
  const size_t index = std::min(sorted.size() - 1, static_cast<size_t>(fraction * sorted.size()));
  return sorted[index];
}

unsigned Status(const RawReply& reply) {
  return reply.status_line.size() > 9
             ? static_cast<unsigned>(std::strtoul(reply.status_line.c_str() + 9, nullptr, 10))
             : 0;
}

// HTTP/1.1 keeps the connection unless the reply says "Connection: close".
bool KeepsConnection(const RawReply& reply) {
  if (reply.status_line.rfind("HTTP/1.1 ", 0) != 0) return false;
  for (const auto& [name, value] : reply.headers) {
    if (strcasecmp(name.c_str(), "Connection") == 0 && strcasecmp(value.c_str(), "close") == 0) {
      return false;
    }
  }
  return true;
}

int Run(const std::string& host, uint16_t port, const std::string& path, long count,
        const char* ca_file, long post_bytes) {
  TlsClient client(port, ca_file != nullptr ? ca_file : "",
                   TlsClientOptions{.address = host, .host = host});
  if (!client.error().empty()) {
    std::fprintf(stderr, "https_client: %s\n", client.error().c_str());
    return 1;
  }
  std::string request = (post_bytes < 0 ? "GET " : "POST ") + path + " HTTP/1.1\r\nHost: " +
                        host + ":" + std::to_string(port) + "\r\nUser-Agent: https_client\r\n";
  if (post_bytes >= 0) {
    // Base64 text as the page sends it; the servers measured read it whole either way.
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::mt19937 random(42);
    std::string body(static_cast<size_t>(post_bytes), 'A');
    for (char& c : body) c = kAlphabet[random() % 64];
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  } else {
    request += "\r\n";
  }
  const int warm_up = post_bytes < 0 ? kWarmUpRequests : kWarmUpPosts;
  std::vector<double> latencies;
  latencies.reserve(static_cast<size_t>(count));
  size_t body_bytes = 0;
  Clock::time_point started;
  for (long i = -warm_up; i < count; ++i) {
    if (i == 0) started = Clock::now();
    const auto sent = Clock::now();
    if (!client.Send(request)) {
      std::fprintf(stderr, "request %ld: cannot send\n", i);
      return 1;
    }
    const auto reply = client.ReadReply(kReplyTimeout);
    const auto done = Clock::now();
    if (!reply) {
      std::fprintf(stderr, "request %ld: no reply\n", i);
      return 1;
    }
    if (Status(*reply) != 200) {
      std::fprintf(stderr, "request %ld: status %u\n", i, Status(*reply));
      return 1;
    }
    if (!KeepsConnection(*reply)) {
      std::fprintf(stderr, "request %ld: the server ends the connection\n", i);
      return 1;
    }
    if (i >= 0) {
      latencies.push_back(std::chrono::duration<double, std::micro>(done - sent).count());
      body_bytes = reply->body.size();
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::sort(latencies.begin(), latencies.end());
  std::printf("requests: %ld over one connection, reply body %zu bytes\n", count, body_bytes);
  std::printf("requests/s: %.0f\n", static_cast<double>(count) / seconds);
  std::printf("latency us: p50 %.1f  p99 %.1f  max %.1f\n", Percentile(latencies, 0.50),
              Percentile(latencies, 0.99), latencies.back());
  client.Close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  long post_bytes = -1;
  if (argc > 1 && std::strncmp(argv[1], "--post=", 7) == 0) {
    post_bytes = std::strtol(argv[1] + 7, nullptr, 10);
    --argc;
    ++argv;
  }
  if ((argc != 5 && argc != 6) || post_bytes < -1) {
    std::fprintf(stderr, "usage: https_client [--post=BYTES] HOST PORT PATH COUNT [CA_FILE]\n");
    return 2;
  }
  const long port = std::strtol(argv[2], nullptr, 10);
  if (port <= 0 || port > 65535) {
    std::fprintf(stderr, "PORT must be a port number\n");
    return 2;
  }
  const long count = std::strtol(argv[4], nullptr, 10);
  if (count <= 0) {
    std::fprintf(stderr, "COUNT must be a positive number\n");
    return 2;
  }
  return Run(argv[1], static_cast<uint16_t>(port), argv[3], count, argc == 6 ? argv[5] : nullptr,
             post_bytes);
}
