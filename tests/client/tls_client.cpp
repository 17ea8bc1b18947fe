#include "tests/client/tls_client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

namespace vemo::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

milliseconds Left(steady_clock::time_point deadline) {
  return std::max(milliseconds(0),
                  std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()));
}

bool WaitFor(int fd, short events, milliseconds timeout) {
  pollfd entry{fd, events, 0};
  int n;
  do {
    n = ::poll(&entry, 1, static_cast<int>(timeout.count()));
  } while (n < 0 && errno == EINTR);
  return n > 0;
}

short EventsFor(int ssl_error) { return ssl_error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN; }

// A non-blocking socket connected to the address, or -1 with the reason in *error.
int ConnectTo(const addrinfo& address, milliseconds timeout, std::string* error) {
  const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int result = ::connect(fd, address.ai_addr, address.ai_addrlen);
  if (result != 0 && errno == EINPROGRESS) {
    socklen_t length = sizeof result;
    if (!WaitFor(fd, POLLOUT, timeout)) {
      result = ETIMEDOUT;
    } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &result, &length) != 0) {
      result = errno;
    }
  } else if (result != 0) {
    result = errno;
  }
  if (result != 0) {
    *error = std::string("connect: ") + std::strerror(result);
    ::close(fd);
    return -1;
  }
  // Requests go out at once, as a browser sends them, not held back for earlier ACKs.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

}  // namespace

TlsClient::TlsClient(uint16_t port, const std::filesystem::path& ca_file,
                     const TlsClientOptions& options)
    : options_(options) {
  Connect(port, ca_file);
}

TlsClient::TlsClient(uint16_t port, const std::filesystem::path& ca_file, bool ipv6)
    : TlsClient(port, ca_file, TlsClientOptions{.address = ipv6 ? "::1" : "127.0.0.1"}) {}

TlsClient::~TlsClient() {
  if (ssl_) SSL_free(ssl_);
  if (ctx_) SSL_CTX_free(ctx_);
  if (fd_ >= 0) ::close(fd_);
}

void TlsClient::Connect(uint16_t port, const std::filesystem::path& ca_file) {
  // A server that ends the connection must fail a send, not end the whole process.
  std::signal(SIGPIPE, SIG_IGN);

  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (const int rc = ::getaddrinfo(options_.address.c_str(), service.c_str(), &hints, &found)) {
    error_ = "resolve " + options_.address + ": " + ::gai_strerror(rc);
    return;
  }
  for (const addrinfo* address = found; address && fd_ < 0; address = address->ai_next) {
    fd_ = ConnectTo(*address, options_.timeout, &error_);
  }
  ::freeaddrinfo(found);
  if (fd_ < 0) {
    error_ += " (" + options_.address + " port " + service + ")";
    return;
  }

  ERR_clear_error();
  ctx_ = SSL_CTX_new(TLS_client_method());
  if (!ctx_) {
    error_ = "no TLS context";
    return;
  }
  if (!ca_file.empty()) {
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(ctx_, ca_file.c_str(), nullptr) != 1) {
      error_ = "cannot load CA " + ca_file.string();
      return;
    }
  }
  if (options_.tls_version != 0) {
    // Low enough a security level that the library really offers an old version.
    SSL_CTX_set_security_level(ctx_, 0);
    SSL_CTX_set_min_proto_version(ctx_, options_.tls_version);
    SSL_CTX_set_max_proto_version(ctx_, options_.tls_version);
  }
  ssl_ = SSL_new(ctx_);
  if (!ssl_) {
    error_ = "no TLS session";
    return;
  }
  SSL_set_tlsext_host_name(ssl_, options_.host.c_str());
  if (!ca_file.empty()) SSL_set1_host(ssl_, options_.host.c_str());
  SSL_set_fd(ssl_, fd_);
  for (;;) {
    const int rc = SSL_connect(ssl_);
    if (rc == 1) {
      error_.clear();
      return;
    }
    const int error = SSL_get_error(ssl_, rc);
    if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) &&
        WaitFor(fd_, EventsFor(error), options_.timeout)) {
      continue;
    }
    tls_error_ = ERR_get_error();
    if (tls_error_ != 0) {
      char text[256];
      ERR_error_string_n(tls_error_, text, sizeof text);
      error_ = std::string("TLS handshake: ") + text;
    } else if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      error_ = "TLS handshake: timed out";
    } else {
      error_ = "TLS handshake: the connection ended";
    }
    ERR_clear_error();
    SSL_free(ssl_);
    ssl_ = nullptr;
    return;
  }
}

bool TlsClient::Send(std::string_view bytes) {
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
    if (!WaitFor(fd_, EventsFor(error), options_.timeout)) return false;
  }
  return true;
}

int TlsClient::ReadSome(char* data, int size, milliseconds timeout) {
  if (!ssl_) return -1;
  const auto deadline = steady_clock::now() + timeout;
  for (;;) {
    // Records without data (TLS 1.3 session tickets) give WANT_READ: the wait goes on.
    const int n = SSL_read(ssl_, data, size);
    if (n > 0) return n;
    const int error = SSL_get_error(ssl_, n);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
      ERR_clear_error();
      return -1;
    }
    const milliseconds left = Left(deadline);
    if (left.count() <= 0 || !WaitFor(fd_, EventsFor(error), left)) return 0;
  }
}

std::optional<RawReply> TlsClient::ReadReply(milliseconds timeout) {
  const auto deadline = steady_clock::now() + timeout;
  char chunk[16384];
  const auto read_more = [&] {
    const int n = ReadSome(chunk, sizeof chunk, std::max(milliseconds(1), Left(deadline)));
    if (n <= 0) return false;
    pending_.append(chunk, static_cast<size_t>(n));
    return true;
  };
  size_t header_end;
  while ((header_end = pending_.find("\r\n\r\n")) == std::string::npos) {
    if (!read_more()) return std::nullopt;
  }
  RawReply reply;
  reply.head = pending_.substr(0, header_end + 4);
  size_t line_end = reply.head.find("\r\n");
  reply.status_line = reply.head.substr(0, line_end);
  size_t content_length = 0;
  for (size_t start = line_end + 2; start < header_end; start = line_end + 2) {
    line_end = reply.head.find("\r\n", start);
    const std::string line = reply.head.substr(start, line_end - start);
    const size_t colon = line.find(':');
    std::string name = line.substr(0, colon);
    std::string value = colon == std::string::npos ? "" : line.substr(colon + 1);
    if (!value.empty() && value.front() == ' ') value.erase(0, 1);
    if (strcasecmp(name.c_str(), "Content-Length") == 0) content_length = std::stoul(value);
    reply.headers.emplace_back(std::move(name), std::move(value));
  }
  const size_t total = header_end + 4 + content_length;
  while (pending_.size() < total) {
    if (!read_more()) return std::nullopt;
  }
  reply.raw = pending_.substr(0, total);
  reply.body = pending_.substr(header_end + 4, content_length);
  pending_.erase(0, total);
  return reply;
}

bool TlsClient::ClosedByServer(milliseconds timeout) {
  if (!ssl_ || !pending_.empty()) return false;
  char byte;
  const int n = ReadSome(&byte, 1, timeout);
  if (n > 0) pending_.push_back(byte);
  return n < 0;
}

void TlsClient::Close(bool tls_close) {
  // Only the close_notify is sent; the server's answer to it is not awaited.
  if (ssl_ && tls_close) SSL_shutdown(ssl_);
  if (ssl_) SSL_free(ssl_);
  ssl_ = nullptr;
  if (fd_ >= 0) {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
  }
  fd_ = -1;
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
