#pragma once

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
#include <vector>

#include "platform/http_body.h"
#include "platform/http_server.h"
#include "platform/io_faults.h"

namespace vemo::platform {

class HttpTransport;

// One client connection: the TLS handshake, a request's header and its whole body within the
// limits, the minimum data rate and the body budget, then the hand-over to the queue, and the
// reply. The request loop only ever gets a request whose body is in memory, so nothing it does
// waits on a client.
//
// Threads: everything runs on the transport's I/O thread except the members marked "loop
// thread", which the queue calls while the request is in the loop's hands. The request fields
// and the body are written before the request is queued and are not touched by the I/O thread
// again until the reply has been written or the connection is gone.
class HttpConnection : public std::enable_shared_from_this<HttpConnection> {
 public:
  using Clock = std::chrono::steady_clock;

  // serial: the connection's number in the order of acceptance, from 1.
  HttpConnection(HttpTransport& transport, uint64_t serial, boost::asio::ip::tcp::socket socket,
                 boost::asio::ssl::context& context);

  void Start();
  void Close();
  // Whether the connection may be closed to make room for a new one: it is in its handshake,
  // waits for a request or for the rest of a header, or holds a request the loop left
  // unanswered. evictable_since() orders such connections, oldest first.
  bool evictable() const;
  Clock::time_point evictable_since() const;
  // Whether the client is still there; a client that has closed its side is gone, and the
  // connection with it.
  bool PeerPresent();
  // response.body must stay valid until done runs.
  void WriteResponse(const HttpResponse& response, std::function<void(uint32_t)> done);

  // Loop thread. The loop has taken the request: from now on it has reply_timeout to answer.
  void MarkTaken() { taken_at_.store(Clock::now().time_since_epoch().count()); }
  // Loop thread. The loop has gone on to another request without answering this one: the
  // connection stays for the keep-alive idle time at most.
  void MarkLeft();
  // Loop thread. The next piece of the body: 0 with a piece, 38 with the last (possibly
  // empty), 87 for an empty buffer, 1229 when the connection is gone, 8 past the part of a
  // body too large to be kept.
  uint32_t ReadBody(std::span<std::byte> buffer, uint32_t* bytes);

  bool closed() const { return closed_.load(); }
  const HttpRequest& request() const { return request_; }
  uint32_t needed_size() const { return needed_size_; }

 private:
  using Stream = boost::beast::ssl_stream<boost::beast::tcp_stream>;
  using Parser = boost::beast::http::request_parser<boost::beast::http::buffer_body>;

  enum class State {
    kHandshake,
    kIdle,     // waiting for the first byte of a request
    kHeader,   // a header has begun
    kBody,     // receiving the body
    kWaiting,  // queued, in the loop's hands, or left unanswered
    kWriting,
    kClosing,  // the reply is out; waiting for the client's side of the close
  };
  // What became of the body of the request in hand.
  enum class BodyKind { kNone, kReceived, kUnread, kCut };

  // Every socket step goes through these, so that a test can make any one of them fail.
  template <typename Handler>
  void Handshake(Handler handler);
  template <typename Handler>
  void ReadSome(boost::asio::mutable_buffer buffer, Handler handler);
  template <typename Buffers, typename Handler>
  void WriteAll(const Buffers& buffers, Handler handler);
  template <typename Handler>
  void Shutdown(Handler handler);
  template <typename Handler, typename... Results>
  bool Injected(IoStep step, Handler& handler, Results... results);

  void BeginRequest(bool first);
  void Read();
  void OnRead(boost::beast::error_code ec, size_t n);
  void ParseHeader();
  void OnHeader();
  void ParseBody();
  void HandOver();
  void EndBody(std::u16string_view why);
  void Finish(bool close_after, bool body_left);
  void LingerAndClose();
  void RejectAndClose(std::string_view reply);

  // One timer serves every deadline: moving a deadline later costs nothing; the timer is set
  // again only when a deadline comes earlier than the one it waits for.
  void SetDeadline(Clock::time_point deadline);
  void ArmTimer(Clock::time_point at);
  void OnTimer();
  void SetWaitDeadline();
  bool ClientAhead();
  boost::beast::tcp_stream& tcp() { return boost::beast::get_lowest_layer(stream_); }

  HttpTransport& transport_;
  const uint64_t serial_;
  Stream stream_;
  boost::beast::flat_buffer buffer_;  // received, not yet parsed
  std::vector<char> incoming_;        // where the pending read puts its bytes
  std::optional<Parser> parser_;
  boost::asio::steady_timer timer_;
  Clock::time_point timer_at_ = Clock::time_point::max();  // when the timer fires
  Clock::time_point deadline_ = Clock::time_point::max();
  State state_ = State::kHandshake;
  Clock::time_point since_;  // when the state began
  bool reading_ = false;
  bool writing_ = false;  // the interim 100 Continue is on its way
  std::function<void()> after_write_;
  std::string head_;
  std::atomic<bool> closed_{false};

  // The request in hand.
  HttpRequest request_;
  uint32_t needed_size_ = 0;
  bool keep_alive_ = false;
  bool head_request_ = false;
  BodyKind body_kind_ = BodyKind::kNone;
  ReceivedBody body_;
  std::atomic<bool> body_read_to_end_{false};
  // Body bytes that arrived since the current rate window began.
  uint64_t window_bytes_ = 0;
  // steady_clock ticks of when the loop took the request and when it left it; 0 for not yet.
  std::atomic<Clock::rep> taken_at_{0};
  std::atomic<Clock::rep> left_at_{0};
};

}  // namespace vemo::platform
