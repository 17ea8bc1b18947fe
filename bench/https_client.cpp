// Serial keep-alive GET requests over one TLS connection: requests per second and the latency
// of one request (write to last byte of the reply).
//
//   https_client HOST PORT PATH COUNT [CA_FILE]
//
// With CA_FILE the server must present a certificate for HOST that the CA vouches for;
// without it the certificate is not checked.

#include <openssl/ssl.h>

#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr int kWarmUpRequests = 10;

double Percentile(std::vector<double> sorted, double fraction) {
  if (sorted.empty()) return 0;
  const size_t index = std::min(sorted.size() - 1, static_cast<size_t>(fraction * sorted.size()));
  return sorted[index];
}

int Run(const std::string& host, const std::string& port, const std::string& path, long count,
        const char* ca_file) {
  asio::io_context io;
  ssl::context context(ssl::context::tls_client);
  if (ca_file != nullptr) {
    context.load_verify_file(ca_file);
    context.set_verify_mode(ssl::verify_peer);
    context.set_verify_callback(ssl::host_name_verification(host));
  } else {
    context.set_verify_mode(ssl::verify_none);
  }
  beast::ssl_stream<beast::tcp_stream> stream(io, context);
  SSL_set_tlsext_host_name(stream.native_handle(), host.c_str());
  tcp::resolver resolver(io);
  beast::get_lowest_layer(stream).connect(resolver.resolve(host, port));
  beast::get_lowest_layer(stream).socket().set_option(tcp::no_delay(true));
  stream.handshake(ssl::stream_base::client);

  http::request<http::empty_body> request(http::verb::get, path, 11);
  request.set(http::field::host, host + ":" + port);
  request.set(http::field::user_agent, "https_client");
  beast::flat_buffer buffer;
  std::vector<double> latencies;
  latencies.reserve(static_cast<size_t>(count));
  size_t body_bytes = 0;
  Clock::time_point started;
  for (long i = -kWarmUpRequests; i < count; ++i) {
    if (i == 0) started = Clock::now();
    const auto sent = Clock::now();
    http::write(stream, request);
    http::response<http::string_body> response;
    http::read(stream, buffer, response);
    const auto done = Clock::now();
    if (response.result() != http::status::ok) {
      std::fprintf(stderr, "request %ld: status %u\n", i, response.result_int());
      return 1;
    }
    if (!response.keep_alive()) {
      std::fprintf(stderr, "request %ld: the server ends the connection\n", i);
      return 1;
    }
    if (i >= 0) {
      latencies.push_back(std::chrono::duration<double, std::micro>(done - sent).count());
      body_bytes = response.body().size();
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::sort(latencies.begin(), latencies.end());
  std::printf("requests: %ld over one connection, reply body %zu bytes\n", count, body_bytes);
  std::printf("requests/s: %.0f\n", static_cast<double>(count) / seconds);
  std::printf("latency us: p50 %.1f  p99 %.1f  max %.1f\n", Percentile(latencies, 0.50),
              Percentile(latencies, 0.99), latencies.back());
  beast::error_code ignored;
  stream.shutdown(ignored);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fprintf(stderr, "usage: %s HOST PORT PATH COUNT [CA_FILE]\n", argv[0]);
    return 2;
  }
  const long count = std::strtol(argv[4], nullptr, 10);
  if (count <= 0) {
    std::fprintf(stderr, "COUNT must be a positive number\n");
    return 2;
  }
  try {
    return Run(argv[1], argv[2], argv[3], count, argc == 6 ? argv[5] : nullptr);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "https_client: %s\n", failure.what());
    return 1;
  }
}
