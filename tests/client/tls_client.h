#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vemo::test {

// An HTTP reply with its raw bytes.
struct RawReply {
  std::string raw;          // status line, headers and body exactly as received
  std::string head;         // status line and headers, through the blank line
  std::string status_line;  // without CR LF
  std::vector<std::pair<std::string, std::string>> headers;  // in order
  std::string body;
};

struct TlsClientOptions {
  // Where to connect: a numeric address, or a name whose addresses are tried in turn.
  std::string address = "127.0.0.1";
  // The name sent in the handshake, which the certificate must carry when it is checked.
  std::string host = "localhost";
  int tls_version = 0;  // only this version (TLS1_1_VERSION...), 0: any the library allows
  // The longest wait for progress while connecting or sending.
  std::chrono::milliseconds timeout = std::chrono::seconds(30);
};

// A blocking TLS client for tests and benchmarks on loopback. It sends bytes exactly as given,
// so that a test can split bodies, send chunked bodies or malformed headers, and it sees every
// byte of a reply. Not thread-safe; one thread uses one client.
class TlsClient {
 public:
  // Connects and completes a handshake that checks the server's certificate for options.host
  // against the CA file; with an empty ca_file the certificate is not checked (benchmarks
  // against other servers only). error() tells whether that worked.
  TlsClient(uint16_t port, const std::filesystem::path& ca_file, const TlsClientOptions& options);
  // The same to 127.0.0.1 (or ::1) for "localhost".
  explicit TlsClient(uint16_t port, const std::filesystem::path& ca_file, bool ipv6 = false);
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // Empty when connected; else what failed and why.
  const std::string& error() const { return error_; }
  // OpenSSL's error code of a failed handshake (ERR_GET_REASON gives a received alert), else 0.
  unsigned long tls_error() const { return tls_error_; }

  bool Send(std::string_view bytes);
  // Reads one reply (headers, then Content-Length bytes). nullopt when the connection ended or
  // the reply was not whole within the timeout.
  std::optional<RawReply> ReadReply(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // True when the server ends the connection within the timeout without sending anything more.
  bool ClosedByServer(std::chrono::milliseconds timeout);
  // Ends the TLS session with a close_notify (or not), then the TCP connection.
  void Close(bool tls_close = true);

 private:
  void Connect(uint16_t port, const std::filesystem::path& ca_file);
  // Bytes read (> 0), 0 when nothing came within the timeout, -1 when the connection ended.
  int ReadSome(char* data, int size, std::chrono::milliseconds timeout);

  TlsClientOptions options_;
  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  std::string error_;
  unsigned long tls_error_ = 0;
  std::string pending_;
};

// One request on a fresh connection to 127.0.0.1.
std::optional<RawReply> Exchange(uint16_t port, const std::filesystem::path& ca_file,
                                 const std::string& request);

// "GET <target> HTTP/1.1" with Host and the given extra header lines (each ending in CR LF).
std::string GetRequest(const std::string& target, const std::string& extra_headers = "");
std::string PostRequest(const std::string& target, const std::string& body,
                        const std::string& extra_headers = "");

}  // namespace vemo::test
