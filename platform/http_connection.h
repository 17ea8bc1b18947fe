#pragma once

#include <array>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/http_server.h"

namespace vemo::platform {

class HttpTransport;

// One client connection: the TLS handshake, reading a request's header and body within the
// limits and timeouts, and writing the reply. Lives on the transport's I/O thread: every member
// is touched there only, except the request fields, which are written before the request is
// queued and read by the loop thread after it is taken, closed() and MarkTaken().
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
 public:
  static constexpr size_t kReadChunk = 4096;

  HttpConnection(HttpTransport& transport, boost::asio::ip::tcp::socket socket,
                 boost::asio::ssl::context& context);

  void Start();
  void Close();
  // Whether the client is still there; reads what has arrived (into the request's buffer) to
  // see a close. Only while no other operation runs on the connection.
  bool ProbeAlive();
  // The loop has taken the request: from now on it has reply_timeout to answer. Any thread.
  void MarkTaken() { taken_at_.store(std::chrono::steady_clock::now().time_since_epoch().count()); }
  void StartReplyTimer();
  // done gets the result and the bytes read: 0 with a piece, 38 with the last (possibly empty),
  // 87 for an empty buffer, 1229 when the connection is gone.
  void ReadBodyPiece(std::span<std::byte> buffer, std::function<void(uint32_t, uint32_t)> done);
  // response.body must stay valid until done runs.
  void WriteResponse(const HttpResponse& response, std::function<void(uint32_t)> done);

  bool closed() const { return closed_.load(); }
  const HttpRequest& request() const { return request_; }
  uint32_t needed_size() const { return needed_size_; }

 private:
  using Stream = boost::beast::ssl_stream<boost::beast::tcp_stream>;
  using Parser = boost::beast::http::request_parser<boost::beast::http::buffer_body>;

  void ReadRequest(bool first);
  void ReadHeader();
  void OnHeader(boost::beast::error_code ec);
  void ContinueBodyRead(std::span<std::byte> buffer, std::function<void(uint32_t, uint32_t)> done);
  void Shutdown();
  void LingerAndClose();
  void Linger();
  void RejectAndClose(std::string_view reply);
  boost::beast::tcp_stream& tcp() { return boost::beast::get_lowest_layer(stream_); }

  HttpTransport& transport_;
  Stream stream_;
  boost::beast::flat_buffer buffer_;
  std::optional<Parser> parser_;
  boost::asio::steady_timer reply_timer_;
  std::string head_;
  std::array<char, kReadChunk> drain_{};
  std::atomic<bool> closed_{false};
  // steady_clock ticks of the moment the loop took the request; 0 while it is queued.
  std::atomic<std::chrono::steady_clock::rep> taken_at_{0};
  bool keep_alive_ = false;
  bool expect_continue_ = false;
  bool head_request_ = false;

  HttpRequest request_;
  uint32_t needed_size_ = 0;
};

}  // namespace vemo::platform
