#include "platform/http_connection.h"

#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <limits>
#include <utility>

#include "platform/http_records.h"
#include "platform/http_transport.h"
#include "support/result_code.h"

namespace vemo::platform {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

// How long a closing connection waits for the client's side of the close.
constexpr std::chrono::milliseconds kCloseTimeout{1000};
// What a liveness check of a waiting connection may pull in ahead of the body reads.
constexpr size_t kMaxProbeBytes = 64 * 1024;

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr std::string_view kBadRequest =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr std::string_view kHeaderTooLarge =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: "
    "close\r\n\r\n";

}  // namespace

HttpConnection::HttpConnection(HttpTransport& transport, tcp::socket socket, ssl::context& context)
    : transport_(transport),
      stream_(std::move(socket), context),
      reply_timer_(stream_.get_executor()) {}

void HttpConnection::Start() {
  beast::error_code ignored;
  tcp().socket().set_option(tcp::no_delay(true), ignored);
  tcp().expires_after(transport_.limits().handshake_timeout);
  stream_.async_handshake(ssl::stream_base::server,
                          [self = shared_from_this()](beast::error_code ec) {
                            if (ec) return self->Close();
                            self->ReadRequest(true);
                          });
}

void HttpConnection::Close() {
  if (closed_.exchange(true)) return;
  reply_timer_.cancel();
  tcp().close();
  transport_.OnClosed(this, request_.id);
}

void HttpConnection::ReadRequest(bool first) {
  if (closed()) return;
  parser_.emplace();
  parser_->header_limit(static_cast<uint32_t>(std::min<size_t>(
      transport_.limits().max_header_bytes, std::numeric_limits<uint32_t>::max())));
  parser_->body_limit(transport_.limits().max_body_bytes);
  if (buffer_.size() != 0) return ReadHeader();
  // Until the first byte of a request arrives the connection is idle; from then on the whole
  // header must come within the header timeout.
  const ServerLimits& limits = transport_.limits();
  tcp().expires_after(first ? limits.header_timeout : limits.idle_timeout);
  stream_.async_read_some(buffer_.prepare(kReadChunk),
                          [self = shared_from_this()](beast::error_code ec, size_t n) {
                            if (ec) return self->Close();
                            self->buffer_.commit(n);
                            self->ReadHeader();
                          });
}

void HttpConnection::ReadHeader() {
  tcp().expires_after(transport_.limits().header_timeout);
  http::async_read_header(
      stream_, buffer_, *parser_,
      [self = shared_from_this()](beast::error_code ec, size_t) { self->OnHeader(ec); });
}

void HttpConnection::OnHeader(beast::error_code ec) {
  if (ec == http::error::header_limit) return RejectAndClose(kHeaderTooLarge);
  if (ec && ec.category() == beast::error_code(http::error::end_of_stream).category() &&
      ec != http::error::end_of_stream && ec != http::error::partial_message) {
    return RejectAndClose(kBadRequest);
  }
  if (ec) return Close();
  tcp().expires_never();

  const auto& message = parser_->get();
  // The cooked URL names the host; a client that sent no Host header reached our own address.
  std::string host(message[http::field::host]);
  if (host.empty()) {
    beast::error_code ignored;
    host = "localhost:" + std::to_string(tcp().socket().local_endpoint(ignored).port());
  }
  RequestRecord record = BuildRequestRecord(message, host);
  record.request.id = transport_.NextId();
  record.request.more_entity_body = !parser_->is_done();
  needed_size_ = record.needed_size;
  keep_alive_ = message.version() >= 11 && message.keep_alive();
  expect_continue_ =
      message.version() >= 11 && beast::iequals(message[http::field::expect], "100-continue");
  head_request_ = message.method() == http::verb::head;
  request_ = std::move(record.request);
  taken_at_ = 0;
  StartReplyTimer();
  transport_.Enqueue(shared_from_this());
}

bool HttpConnection::ProbeAlive() {
  if (closed()) return false;
  beast::error_code ec;
  auto& socket = tcp().socket();
  socket.non_blocking(true, ec);
  while (!ec && buffer_.size() < kMaxProbeBytes) {
    const size_t n = stream_.read_some(buffer_.prepare(kReadChunk), ec);
    buffer_.commit(n);
  }
  beast::error_code ignored;
  socket.non_blocking(false, ignored);
  if (ec && ec != asio::error::would_block && ec != asio::error::try_again) {
    Close();
    return false;
  }
  return true;
}

// Armed when the request is queued, so that taking it costs the loop no hand-over to the I/O
// thread: the timer looks at when the request was taken and waits for the rest of the time.
void HttpConnection::StartReplyTimer() {
  if (closed()) return;
  using Clock = std::chrono::steady_clock;
  const auto timeout = transport_.limits().reply_timeout;
  Clock::duration wait = timeout;
  if (const auto taken = taken_at_.load(); taken != 0) {
    const auto elapsed = Clock::now().time_since_epoch() - Clock::duration(taken);
    if (elapsed >= timeout) return Close();
    wait = timeout - elapsed;
  }
  reply_timer_.expires_after(wait);
  reply_timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
    if (!ec) self->StartReplyTimer();
  });
}

void HttpConnection::ReadBodyPiece(std::span<std::byte> buffer,
                                   std::function<void(uint32_t, uint32_t)> done) {
  if (closed()) return done(kErrorConnectionInvalid, 0);
  if (parser_->is_done()) return done(kErrorHandleEof, 0);
  if (buffer.empty()) return done(kErrorInvalidParameter, 0);
  reply_timer_.cancel();
  if (!expect_continue_) return ContinueBodyRead(buffer, std::move(done));
  // The client holds the body back until it hears that we want it.
  expect_continue_ = false;
  tcp().expires_after(transport_.limits().body_timeout);
  asio::async_write(stream_, asio::buffer(kContinue),
                    [self = shared_from_this(), buffer, done = std::move(done)](
                        beast::error_code ec, size_t) mutable {
                      if (ec) {
                        self->Close();
                        return done(kErrorConnectionInvalid, 0);
                      }
                      self->ContinueBodyRead(buffer, std::move(done));
                    });
}

void HttpConnection::ContinueBodyRead(std::span<std::byte> buffer,
                                      std::function<void(uint32_t, uint32_t)> done) {
  auto& body = parser_->get().body();
  body.data = buffer.data();
  body.size = buffer.size();
  body.more = true;
  tcp().expires_after(transport_.limits().body_timeout);
  http::async_read(
      stream_, buffer_, *parser_,
      [self = shared_from_this(), buffer, done = std::move(done)](beast::error_code ec, size_t) {
        if (ec == http::error::need_buffer) ec = {};
        if (ec) {
          self->Close();
          return done(kErrorConnectionInvalid, 0);
        }
        self->tcp().expires_never();
        const auto got = static_cast<uint32_t>(buffer.size() - self->parser_->get().body().size);
        self->parser_->get().body().data = nullptr;
        self->MarkTaken();  // the time to answer starts again after each piece
        self->StartReplyTimer();
        done(self->parser_->is_done() ? kErrorHandleEof : 0, got);
      });
}

void HttpConnection::WriteResponse(const HttpResponse& response,
                                   std::function<void(uint32_t)> done) {
  if (closed()) return done(kErrorConnectionInvalid);
  reply_timer_.cancel();
  // A body the handler left unread cannot be skipped safely: the connection ends with the reply.
  const bool body_left = !parser_->is_done();
  const bool close_after = !keep_alive_ || body_left;
  head_ = FormatResponseHead(response, close_after);

  const std::array<asio::const_buffer, 2> buffers = {
      asio::buffer(head_), head_request_ ? asio::const_buffer() : asio::buffer(response.body)};
  tcp().expires_after(transport_.limits().body_timeout);
  asio::async_write(stream_, buffers,
                    [self = shared_from_this(), close_after, body_left, done = std::move(done)](
                        beast::error_code ec, size_t) {
                      if (ec) {
                        self->Close();
                        return done(kErrorConnectionInvalid);
                      }
                      done(0);
                      if (!close_after) return self->ReadRequest(false);
                      if (body_left) return self->LingerAndClose();
                      self->Shutdown();
                    });
}

void HttpConnection::Shutdown() {
  tcp().expires_after(kCloseTimeout);
  stream_.async_shutdown([self = shared_from_this()](beast::error_code) { self->Close(); });
}

// The client may still be sending the body we did not read; closing at once would reset the
// connection and could destroy the reply before the client reads it. So we end our side, then
// drop what still comes until the client closes or the close timeout passes.
void HttpConnection::LingerAndClose() {
  beast::error_code ignored;
  tcp().socket().shutdown(tcp::socket::shutdown_send, ignored);
  tcp().expires_after(kCloseTimeout);
  Linger();
}

void HttpConnection::Linger() {
  tcp().async_read_some(asio::buffer(drain_),
                        [self = shared_from_this()](beast::error_code ec, size_t) {
                          if (ec) return self->Close();
                          self->Linger();
                        });
}

void HttpConnection::RejectAndClose(std::string_view reply) {
  tcp().expires_after(transport_.limits().header_timeout);
  asio::async_write(stream_, asio::buffer(reply),
                    [self = shared_from_this()](beast::error_code ec, size_t) {
                      if (ec) return self->Close();
                      self->LingerAndClose();
                    });
}

}  // namespace vemo::platform
