#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vemo::test {

// A parsed HTTP reply with its raw bytes.
struct RawReply {
  std::string raw;          // status line, headers and body exactly as received
  std::string status_line;  // without CR LF
  std::vector<std::pair<std::string, std::string>> headers;  // in order
  std::string body;
};

// A blocking TLS client for loopback tests that sends bytes exactly as given, so that tests
// can split bodies, send chunked bodies or malformed headers, and see every byte of a reply.
class TlsClient {
 public:
  // Connects to 127.0.0.1 (or ::1) and completes a handshake that verifies the server's
  // certificate for "localhost" against the CA file. Fails the current test on error.
  TlsClient(uint16_t port, const std::filesystem::path& ca_file, bool ipv6 = false);
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  bool Send(const std::string& bytes);
  // Reads one reply (headers, then Content-Length bytes). nullopt when the connection closed
  // or nothing arrived within the timeout.
  std::optional<RawReply> ReadReply(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // True when the server closed the connection (or nothing came) within the timeout.
  bool ClosedByServer(std::chrono::milliseconds timeout);

 private:
  int ReadSome(char* data, int size, std::chrono::milliseconds timeout);

  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  std::string pending_;
};

// One request on a fresh connection.
std::optional<RawReply> Exchange(uint16_t port, const std::filesystem::path& ca_file,
                                 const std::string& request);

// "GET <target> HTTP/1.1" with Host and the given extra header lines (each ending in CR LF).
std::string GetRequest(const std::string& target, const std::string& extra_headers = "");
std::string PostRequest(const std::string& target, const std::string& body,
                        const std::string& extra_headers = "");

}  // namespace vemo::test
