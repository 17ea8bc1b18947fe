#include "platform/http_connection.h"

#include <poll.h>

#include <algorithm>
#include <array>
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
#include "support/event_log.h"
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
constexpr size_t kReadChunk = 4096;
constexpr size_t kBodyReadChunk = 16 * 1024;  // one TLS record
// While a request waits for the loop, the connection reads on to see its client leave, up to
// this much of what follows (a pipelined request, or a body we do not keep).
constexpr size_t kMaxReadAhead = 64 * 1024;
// A body of unknown size starts in a small piece and goes on in large ones.
constexpr size_t kFirstPiece = 16 * 1024;
constexpr size_t kPiece = 256 * 1024;
// When a rate check finds bytes waiting in our own socket, the delay is ours: look again after
// this long instead of blaming the client.
constexpr std::chrono::milliseconds kBehindGrace{200};

constexpr std::u16string_view kTooSlow = u"Request data too slow, connection closed";
constexpr std::u16string_view kNoMemory = u"No memory for the request data, connection closed";
constexpr std::u16string_view kCutShort = u"Request data cut short, connection closed";

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr std::string_view kBadRequest =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr std::string_view kHeaderTooLarge =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: "
    "close\r\n\r\n";

HttpConnection::Clock::time_point FromTicks(HttpConnection::Clock::rep ticks) {
  return HttpConnection::Clock::time_point(HttpConnection::Clock::duration(ticks));
}

}  // namespace

HttpConnection::HttpConnection(HttpTransport& transport, uint64_t serial, tcp::socket socket,
                               ssl::context& context)
    : transport_(transport),
      serial_(serial),
      stream_(std::move(socket), context),
      timer_(stream_.get_executor()),
      since_(Clock::now()),
      body_(transport.budget()) {}

void HttpConnection::Start() {
  beast::error_code ignored;
  tcp().socket().set_option(tcp::no_delay(true), ignored);
  state_ = State::kHandshake;
  since_ = Clock::now();
  SetDeadline(since_ + transport_.limits().handshake_timeout);
  Handshake([self = shared_from_this()](beast::error_code ec) {
    if (ec) return self->Close();
    self->BeginRequest(true);
  });
}

// A step made to fail completes as a failed socket operation does: later, with the code.
template <typename Handler, typename... Results>
bool HttpConnection::Injected(IoStep step, Handler& handler, Results... results) {
  const beast::error_code ec = InjectedFault(serial_, step);
  if (!ec) return false;
  asio::post(stream_.get_executor(),
             [handler = std::move(handler), ec, results...]() mutable { handler(ec, results...); });
  return true;
}

template <typename Handler>
void HttpConnection::Handshake(Handler handler) {
  if (Injected(IoStep::kHandshake, handler)) return;
  stream_.async_handshake(ssl::stream_base::server, std::move(handler));
}

template <typename Handler>
void HttpConnection::ReadSome(asio::mutable_buffer buffer, Handler handler) {
  if (Injected(IoStep::kRead, handler, size_t{0})) return;
  stream_.async_read_some(buffer, std::move(handler));
}

template <typename Buffers, typename Handler>
void HttpConnection::WriteAll(const Buffers& buffers, Handler handler) {
  if (Injected(IoStep::kWrite, handler, size_t{0})) return;
  asio::async_write(stream_, buffers, std::move(handler));
}

template <typename Handler>
void HttpConnection::Shutdown(Handler handler) {
  if (Injected(IoStep::kShutdown, handler)) return;
  stream_.async_shutdown(std::move(handler));
}

void HttpConnection::Close() {
  if (closed_.exchange(true)) return;
  timer_.cancel();
  tcp().close();
  // A body in the loop's hands stays until the loop lets the request go; any other goes back
  // to the budget at once.
  if (state_ != State::kWaiting) body_.Clear();
  transport_.OnClosed(this, request_.id);
}

bool HttpConnection::evictable() const {
  switch (state_) {
    case State::kHandshake:
    case State::kIdle:
    case State::kHeader:
      return true;
    case State::kWaiting:
      return left_at_.load() != 0;
    default:
      return false;
  }
}

HttpConnection::Clock::time_point HttpConnection::evictable_since() const {
  if (state_ == State::kWaiting) return FromTicks(left_at_.load());
  return since_;
}

bool HttpConnection::PeerPresent() {
  if (closed()) return false;
  pollfd poll_fd{tcp().socket().native_handle(), POLLIN | POLLRDHUP, 0};
  if (::poll(&poll_fd, 1, 0) == 1 && (poll_fd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
    Close();
    return false;
  }
  return true;
}

void HttpConnection::MarkLeft() {
  Clock::rep none = 0;
  if (!left_at_.compare_exchange_strong(none, Clock::now().time_since_epoch().count())) return;
  transport_.Post([self = shared_from_this()] {
    if (!self->closed() && self->state_ == State::kWaiting) self->SetWaitDeadline();
  });
}

uint32_t HttpConnection::ReadBody(std::span<std::byte> buffer, uint32_t* bytes) {
  *bytes = 0;
  if (closed()) return kErrorConnectionInvalid;
  if (body_kind_ == BodyKind::kUnread) return kErrorNotEnoughMemory;
  if (body_.AtEnd()) {
    if (body_kind_ == BodyKind::kCut) return kErrorNotEnoughMemory;
    body_read_to_end_ = true;
    return kErrorHandleEof;
  }
  if (buffer.empty()) return kErrorInvalidParameter;
  *bytes = static_cast<uint32_t>(
      body_.Read(buffer.subspan(0, std::min<size_t>(buffer.size(), UINT32_MAX))));
  MarkTaken();  // the time to answer starts again after each piece
  if (body_.AtEnd() && body_kind_ != BodyKind::kCut) {
    body_read_to_end_ = true;
    return kErrorHandleEof;
  }
  return 0;
}

void HttpConnection::BeginRequest(bool first) {
  if (closed()) return;
  const ServerLimits& limits = transport_.limits();
  state_ = State::kIdle;
  since_ = Clock::now();
  parser_.emplace();
  parser_->header_limit(static_cast<uint32_t>(
      std::min<size_t>(limits.max_header_bytes, std::numeric_limits<uint32_t>::max())));
  parser_->body_limit(limits.max_body_bytes);
  body_.Clear();
  body_kind_ = BodyKind::kNone;
  body_read_to_end_ = false;
  taken_at_ = 0;
  left_at_ = 0;
  // Until the first byte of a request arrives the connection is idle; from then on the whole
  // header must come within the header timeout.
  SetDeadline(since_ + (first ? limits.header_timeout : limits.idle_timeout));
  if (buffer_.size() != 0) {
    state_ = State::kHeader;
    return ParseHeader();
  }
  Read();
}

void HttpConnection::Read() {
  if (reading_ || closed()) return;
  if ((state_ == State::kWaiting || state_ == State::kWriting) && buffer_.size() >= kMaxReadAhead) {
    return;
  }
  reading_ = true;
  // Not into buffer_: a read issued while a request waits may still be pending when the next
  // request is parsed out of buffer_, and parsing moves buffer_'s storage.
  incoming_.resize(state_ == State::kBody ? kBodyReadChunk : kReadChunk);
  ReadSome(asio::buffer(incoming_), [self = shared_from_this()](beast::error_code ec, size_t n) {
    self->OnRead(ec, n);
  });
}

void HttpConnection::OnRead(beast::error_code ec, size_t n) {
  reading_ = false;
  if (closed()) return;
  // The client left, or the connection broke: whatever it had under way ends with it.
  if (ec) return state_ == State::kBody ? EndBody(kCutShort) : Close();
  buffer_.commit(asio::buffer_copy(buffer_.prepare(n), asio::buffer(incoming_.data(), n)));
  switch (state_) {
    case State::kIdle:
      state_ = State::kHeader;
      since_ = Clock::now();
      return ParseHeader();
    case State::kHeader:
      return ParseHeader();
    case State::kBody: {
      const ServerLimits& limits = transport_.limits();
      window_bytes_ += n;
      if (window_bytes_ >= limits.min_body_rate * limits.body_rate_window.count() / 1000) {
        window_bytes_ = 0;
        SetDeadline(Clock::now() + limits.body_rate_window);
      }
      return ParseBody();
    }
    case State::kClosing:
      buffer_.consume(buffer_.size());
      return Read();
    default:
      // The request waits or its reply is on the way: read on only to see the client leave.
      return Read();
  }
}

void HttpConnection::ParseHeader() {
  beast::error_code ec;
  const size_t used = parser_->put(buffer_.data(), ec);
  buffer_.consume(used);
  if (ec == http::error::need_more || (!ec && !parser_->is_header_done())) {
    SetDeadline(since_ + transport_.limits().header_timeout);
    return Read();
  }
  if (ec == http::error::header_limit) return RejectAndClose(kHeaderTooLarge);
  if (ec) return RejectAndClose(kBadRequest);
  OnHeader();
}

void HttpConnection::OnHeader() {
  const ServerLimits& limits = transport_.limits();
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
  const bool expect_continue =
      message.version() >= 11 && beast::iequals(message[http::field::expect], "100-continue");
  head_request_ = message.method() == http::verb::head;
  request_ = std::move(record.request);

  if (!request_.more_entity_body) return HandOver();
  // A declared body larger than we keep is left to the loop to refuse from the header.
  if (const auto declared = parser_->content_length();
      declared && *declared > limits.max_body_in_memory) {
    body_kind_ = BodyKind::kUnread;
    return HandOver();
  }
  body_kind_ = BodyKind::kReceived;
  state_ = State::kBody;
  since_ = Clock::now();
  window_bytes_ = 0;
  SetDeadline(since_ + limits.body_rate_window);
  parser_->eager(true);
  if (expect_continue) {
    // The client holds the body back until it hears that we want it.
    writing_ = true;
    WriteAll(asio::buffer(kContinue), [self = shared_from_this()](beast::error_code write_ec, size_t) {
      self->writing_ = false;
      if (write_ec) self->Close();
      if (auto next = std::exchange(self->after_write_, nullptr)) next();
    });
  }
  ParseBody();
}

void HttpConnection::ParseBody() {
  const ServerLimits& limits = transport_.limits();
  for (;;) {
    if (parser_->is_done()) return HandOver();
    if (body_.size() >= limits.max_body_in_memory) {
      // A chunked body longer than we keep: the loop gets what we have and can refuse it.
      body_kind_ = BodyKind::kCut;
      return HandOver();
    }
    if (buffer_.size() == 0) return Read();
    uint64_t want = kPiece;
    if (const auto remaining = parser_->content_length_remaining()) {
      want = std::min<uint64_t>(*remaining, kPiece);
    } else if (body_.size() == 0) {
      want = kFirstPiece;
    }
    want = std::min<uint64_t>(want, limits.max_body_in_memory - body_.size());
    const std::span<std::byte> room = body_.Room(static_cast<size_t>(want));
    if (room.empty()) return EndBody(kNoMemory);
    auto& target = parser_->get().body();
    target.data = room.data();
    target.size = room.size();
    target.more = true;
    beast::error_code ec;
    const size_t used = parser_->put(buffer_.data(), ec);
    buffer_.consume(used);
    const size_t got = room.size() - target.size;
    body_.Commit(got);
    target.data = nullptr;
    if (ec == http::error::need_buffer) continue;
    if (ec == http::error::need_more || (!ec && used == 0 && got == 0 && !parser_->is_done())) {
      return Read();
    }
    // A broken chunk, or a body beyond max_body_bytes.
    if (ec) return Close();
  }
}

void HttpConnection::HandOver() {
  state_ = State::kWaiting;
  since_ = Clock::now();
  SetWaitDeadline();
  transport_.Enqueue(shared_from_this());
  Read();
}

void HttpConnection::EndBody(std::u16string_view why) {
  EventValue query;
  if (request_.query) query = std::u16string_view(*request_.query);
  WriteEvent(why, std::nullopt, query, EventValueFormat::kText);
  Close();
}

void HttpConnection::WriteResponse(const HttpResponse& response,
                                   std::function<void(uint32_t)> done) {
  if (closed()) return done(kErrorConnectionInvalid);
  // A body the loop left unread ends the connection with the reply, as it always has, though
  // it is in memory by now: the reply bytes do not depend on how far the body had come.
  const bool body_left = body_kind_ != BodyKind::kNone && !body_read_to_end_;
  const bool close_after = !keep_alive_ || body_left;
  head_ = FormatResponseHead(response, close_after);
  state_ = State::kWriting;
  since_ = Clock::now();
  SetDeadline(since_ + transport_.limits().write_timeout);

  const std::array<asio::const_buffer, 2> buffers = {
      asio::buffer(head_), head_request_ ? asio::const_buffer() : asio::buffer(response.body)};
  auto write = [self = shared_from_this(), buffers, close_after, body_left,
                done = std::move(done)]() mutable {
    self->WriteAll(
        buffers,
        [self, close_after, body_left, done = std::move(done)](beast::error_code ec, size_t) {
          if (ec) {
            self->Close();
            return done(kErrorConnectionInvalid);
          }
          done(0);
          self->Finish(close_after, body_left);
        });
  };
  if (writing_) {
    after_write_ = std::move(write);
    return;
  }
  write();
}

void HttpConnection::Finish(bool close_after, bool body_left) {
  if (closed()) return;
  if (!close_after) return BeginRequest(false);
  if (body_left) return LingerAndClose();
  state_ = State::kClosing;
  since_ = Clock::now();
  SetDeadline(since_ + kCloseTimeout);
  Shutdown([self = shared_from_this()](beast::error_code) { self->Close(); });
}

// The client may still be sending the body we did not take; closing at once would reset the
// connection and could destroy the reply before the client reads it. So we end our side, then
// drop what still comes until the client closes or the close timeout passes.
void HttpConnection::LingerAndClose() {
  state_ = State::kClosing;
  since_ = Clock::now();
  SetDeadline(since_ + kCloseTimeout);
  beast::error_code ignored;
  tcp().socket().shutdown(tcp::socket::shutdown_send, ignored);
  buffer_.consume(buffer_.size());
  Read();
}

void HttpConnection::RejectAndClose(std::string_view reply) {
  state_ = State::kWriting;
  since_ = Clock::now();
  SetDeadline(since_ + transport_.limits().header_timeout);
  WriteAll(asio::buffer(reply), [self = shared_from_this()](beast::error_code ec, size_t) {
    if (ec) return self->Close();
    self->LingerAndClose();
  });
}

void HttpConnection::SetDeadline(Clock::time_point deadline) {
  deadline_ = deadline;
  if (deadline < timer_at_) ArmTimer(deadline);
}

void HttpConnection::ArmTimer(Clock::time_point at) {
  if (closed()) return;
  timer_at_ = at;
  timer_.expires_at(at);
  timer_.async_wait([self = shared_from_this(), at](beast::error_code ec) {
    if (ec || self->timer_at_ != at) return;  // set again meanwhile
    self->OnTimer();
  });
}

void HttpConnection::OnTimer() {
  timer_at_ = Clock::time_point::max();
  if (closed()) return;
  if (state_ == State::kWaiting) return SetWaitDeadline();
  const auto now = Clock::now();
  if (now < deadline_) return ArmTimer(deadline_);
  if (state_ == State::kBody) {
    if (ClientAhead()) return SetDeadline(now + kBehindGrace);
    return EndBody(kTooSlow);
  }
  Close();
}

// A queued request waits for as long as the loop takes to come to it; from then on it has the
// reply timeout, or the idle timeout once the loop has gone on without answering it.
void HttpConnection::SetWaitDeadline() {
  const ServerLimits& limits = transport_.limits();
  const auto now = Clock::now();
  Clock::time_point deadline = now + limits.reply_timeout;
  if (const auto left = left_at_.load(); left != 0) {
    deadline = FromTicks(left) + limits.idle_timeout;
  } else if (const auto taken = taken_at_.load(); taken != 0) {
    deadline = FromTicks(taken) + limits.reply_timeout;
  }
  if (deadline <= now) return Close();
  SetDeadline(deadline);
}

bool HttpConnection::ClientAhead() {
  beast::error_code ec;
  const size_t waiting = tcp().socket().available(ec);
  return !ec && waiting != 0;
}

}  // namespace vemo::platform
