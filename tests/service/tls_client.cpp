#include "tests/service/tls_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace vemo::test {

TlsClient::TlsClient(uint16_t port, const std::filesystem::path& ca_file, bool ipv6) {
  fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int rc = -1;
  if (ipv6) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  } else {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  if (rc != 0) {
    ADD_FAILURE() << "connect to port " << port << ": " << std::strerror(errno);
    return;
  }
  ctx_ = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(ctx_, ca_file.c_str(), nullptr) != 1) {
    ADD_FAILURE() << "cannot load CA " << ca_file;
  }
  ssl_ = SSL_new(ctx_);
  SSL_set_tlsext_host_name(ssl_, "localhost");
  SSL_set1_host(ssl_, "localhost");
  SSL_set_fd(ssl_, fd_);
  if (SSL_connect(ssl_) != 1) {
    char error[256];
    ERR_error_string_n(ERR_get_error(), error, sizeof error);
    ADD_FAILURE() << "TLS handshake: " << error;
    SSL_free(ssl_);
    ssl_ = nullptr;
    return;
  }
  // Reads must not block on records that carry no data (TLS 1.3 session tickets), so the
  // socket is non-blocking from here on and every wait is a poll with a deadline.
  ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

TlsClient::~TlsClient() {
  if (ssl_) SSL_free(ssl_);
  if (ctx_) SSL_CTX_free(ctx_);
  if (fd_ >= 0) ::close(fd_);
}

bool TlsClient::Send(const std::string& bytes) {
  if (!ssl_) return false;
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = SSL_write(ssl_, bytes.data() + sent, static_cast<int>(bytes.size() - sent));
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    const int error = SSL_get_error(ssl_, n);
    if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) return false;
    pollfd fd{fd_, static_cast<short>(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    if (::poll(&fd, 1, 30'000) <= 0) return false;
  }
  return true;
}

int TlsClient::ReadSome(char* data, int size, std::chrono::milliseconds timeout) {
  if (!ssl_) return -1;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const int n = SSL_read(ssl_, data, size);
    if (n > 0) return n;
    const int error = SSL_get_error(ssl_, n);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    pollfd fd{fd_, static_cast<short>(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) return 0;
  }
}

std::optional<RawReply> TlsClient::ReadReply(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto remaining = [&] {
    return std::max(std::chrono::milliseconds(1),
                    std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now()));
  };
  char chunk[16384];
  size_t header_end;
  while ((header_end = pending_.find("\r\n\r\n")) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    const int n = ReadSome(chunk, sizeof chunk, remaining());
    if (n < 0) return std::nullopt;
    pending_.append(chunk, static_cast<size_t>(n));
  }
  RawReply reply;
  const std::string head = pending_.substr(0, header_end);
  size_t line_end = head.find("\r\n");
  reply.status_line = head.substr(0, line_end);
  size_t content_length = 0;
  while (line_end != std::string::npos) {
    const size_t start = line_end + 2;
    line_end = head.find("\r\n", start);
    const std::string line =
        head.substr(start, line_end == std::string::npos ? std::string::npos : line_end - start);
    const size_t colon = line.find(':');
    std::string name = line.substr(0, colon);
    std::string value = line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.erase(0, 1);
    if (strcasecmp(name.c_str(), "Content-Length") == 0) content_length = std::stoul(value);
    reply.headers.emplace_back(std::move(name), std::move(value));
  }
  const size_t total = header_end + 4 + content_length;
  while (pending_.size() < total) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    const int n = ReadSome(chunk, sizeof chunk, remaining());
    if (n < 0) return std::nullopt;
    pending_.append(chunk, static_cast<size_t>(n));
  }
  reply.raw = pending_.substr(0, total);
  reply.body = pending_.substr(header_end + 4, content_length);
  pending_.erase(0, total);
  return reply;
}

bool TlsClient::ClosedByServer(std::chrono::milliseconds timeout) {
  char byte;
  return ReadSome(&byte, 1, timeout) != 1;
}

std::optional<RawReply> Exchange(uint16_t port, const std::filesystem::path& ca_file,
                                 const std::string& request) {
  TlsClient client(port, ca_file);
  if (!client.Send(request)) return std::nullopt;
  return client.ReadReply();
}

std::string GetRequest(const std::string& target, const std::string& extra_headers) {
  return "GET " + target + " HTTP/1.1\r\nHost: localhost:9009\r\n" + extra_headers + "\r\n";
}

std::string PostRequest(const std::string& target, const std::string& body,
                        const std::string& extra_headers) {
  return "POST " + target +
         " HTTP/1.1\r\nHost: localhost:9009\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n" + extra_headers + "\r\n" + body;
}

}  // namespace vemo::test
