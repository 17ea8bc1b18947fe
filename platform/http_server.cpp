#include "platform/http_server.h"

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <charconv>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <limits>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "support/result_code.h"
#include "support/text_conversions.h"

namespace vemo::platform {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Stream = beast::ssl_stream<beast::tcp_stream>;
using Parser = http::request_parser<http::buffer_body>;

constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidData = 13;  // the certificate or key cannot be used
constexpr uint32_t kErrorGenFailure = 31;

// How long a closing connection waits for the client's side of the close.
constexpr std::chrono::milliseconds kCloseTimeout{1000};
constexpr std::chrono::milliseconds kAcceptRetryDelay{100};
// What a liveness check of a waiting connection may pull in ahead of the body reads.
constexpr size_t kMaxProbeBytes = 64 * 1024;
constexpr size_t kReadChunk = 4096;

constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr std::string_view kBadRequest =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr std::string_view kHeaderTooLarge =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: "
    "close\r\n\r\n";

// Request headers that the API's request record keeps in its own slots; every other header is
// handed over by name as the client sent it.
constexpr std::array<std::string_view, 41> kPredefinedRequestHeaders = {
    "Cache-Control",
    "Connection",
    "Date",
    "Keep-Alive",
    "Pragma",
    "Trailer",
    "Transfer-Encoding",
    "Upgrade",
    "Via",
    "Warning",
    "Allow",
    "Content-Length",
    "Content-Type",
    "Content-Encoding",
    "Content-Language",
    "Content-Location",
    "Content-MD5",
    "Content-Range",
    "Expires",
    "Last-Modified",
    "Accept",
    "Accept-Charset",
    "Accept-Encoding",
    "Accept-Language",
    "Authorization",
    "Cookie",
    "Expect",
    "From",
    "Host",
    "If-Match",
    "If-Modified-Since",
    "If-None-Match",
    "If-Range",
    "If-Unmodified-Since",
    "Max-Forwards",
    "Proxy-Authorization",
    "Referer",
    "Range",
    "TE",
    "Translate",
    "User-Agent",
};

bool IsPredefinedRequestHeader(std::string_view name) {
  for (std::string_view known : kPredefinedRequestHeaders) {
    if (beast::iequals(name, known)) return true;
  }
  return false;
}

HttpVerb VerbNumber(http::verb verb) {
  switch (verb) {
    case http::verb::options:
      return HttpVerb::kOptions;
    case http::verb::get:
      return HttpVerb::kGet;
    case http::verb::head:
      return HttpVerb::kHead;
    case http::verb::post:
      return HttpVerb::kPost;
    case http::verb::put:
      return HttpVerb::kPut;
    case http::verb::delete_:
      return HttpVerb::kDelete;
    case http::verb::trace:
      return HttpVerb::kTrace;
    case http::verb::connect:
      return HttpVerb::kConnect;
    default:
      return HttpVerb::kUnknown;
  }
}

// "https://localhost:PORT/" and nothing else: the service has one address.
std::optional<uint16_t> ParseLocalhostUrl(std::string_view url) {
  constexpr std::string_view kPrefix = "https://localhost:";
  if (url.size() <= kPrefix.size() || !beast::iequals(url.substr(0, kPrefix.size()), kPrefix)) {
    return std::nullopt;
  }
  url.remove_prefix(kPrefix.size());
  if (url.empty() || url.back() != '/') return std::nullopt;
  url.remove_suffix(1);
  unsigned port = 0;
  const auto [end, ec] = std::from_chars(url.data(), url.data() + url.size(), port);
  if (ec != std::errc() || end != url.data() + url.size() || port == 0 || port > 65535) {
    return std::nullopt;
  }
  return static_cast<uint16_t>(port);
}

bool HasLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool IsToken(std::string_view name) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    if (c <= 0x20 || c >= 0x7f ||
        std::string_view("()<>@,;:\\\"/[]?={}").find(c) != std::string_view::npos) {
      return false;
    }
  }
  return true;
}

class Server;

// One client connection. Lives on the server's I/O thread: every member is touched there only,
// except the request fields, which are written before the request is queued and read by the
// loop thread after it is taken, and closed_.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Server& server, tcp::socket socket, ssl::context& context);

  void Start();
  void Close();
  // Whether the client is still there; reads what has arrived (into the request's buffer) to
  // see a close. Only while no other operation runs on the connection.
  bool ProbeAlive();
  // The loop has taken the request: from now on it has reply_timeout to answer. Any thread.
  void MarkTaken() { taken_at_.store(std::chrono::steady_clock::now().time_since_epoch().count()); }
  void StartReplyTimer();
  void ReadBodyPiece(std::span<std::byte> buffer, std::function<void(uint32_t, uint32_t)> done);
  void WriteResponse(const HttpResponse& response, std::function<void(uint32_t)> done);

  bool closed() const { return closed_.load(); }
  const HttpRequest& request() const { return request_; }
  uint32_t needed_size() const { return needed_size_; }

 private:
  void ReadRequest(bool first);
  void ReadHeader();
  void OnHeader(beast::error_code ec);
  void ContinueBodyRead(std::span<std::byte> buffer, std::function<void(uint32_t, uint32_t)> done);
  void Shutdown();
  void LingerAndClose();
  void Linger();
  void RejectAndClose(std::string_view reply);
  beast::tcp_stream& tcp() { return beast::get_lowest_layer(stream_); }

  Server& server_;
  Stream stream_;
  beast::flat_buffer buffer_;
  std::optional<Parser> parser_;
  asio::steady_timer reply_timer_;
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

class Server final : public HttpServer {
 public:
  Server(TlsFiles tls, ServerLimits limits);
  ~Server() override;

  uint32_t AddUrl(std::string_view url) override;
  uint32_t ReceiveRequest(RequestId id, uint32_t buffer_size, HttpRequest* request,
                          uint32_t* bytes) override;
  uint32_t ReceiveEntityBody(RequestId id, std::span<std::byte> buffer, uint32_t* bytes) override;
  uint32_t SendResponse(RequestId id, const HttpResponse& response) override;
  void Terminate() override;

  // For the connections, on the I/O thread.
  const ServerLimits& limits() const { return limits_; }
  RequestId NextId() { return next_id_.fetch_add(1); }
  void Enqueue(std::shared_ptr<Connection> connection);
  void OnClosed(Connection* connection, RequestId id);

 private:
  // Runs f on the I/O thread and waits for its result; nullopt once terminated.
  template <typename F>
  auto CallOnIo(F f) -> std::optional<decltype(f())>;
  std::shared_ptr<Connection> Taken(RequestId id);
  uint32_t Listen(uint16_t port);
  struct Listener {
    explicit Listener(asio::io_context& io) : acceptor(io), retry(io) {}
    tcp::acceptor acceptor;
    asio::steady_timer retry;  // after a failed accept
  };
  void Accept(Listener& listener);
  uint32_t Deliver(const std::shared_ptr<Connection>& connection, uint32_t buffer_size,
                   HttpRequest* request, uint32_t* bytes);

  const ServerLimits limits_;
  ssl::context context_{ssl::context::tls_server};
  bool tls_ready_ = false;
  std::atomic<RequestId> next_id_{1};

  asio::io_context io_{1};
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread io_thread_;

  // I/O thread only.
  std::deque<Listener> listeners_;
  std::unordered_map<Connection*, std::weak_ptr<Connection>> open_;
  bool stopping_ = false;

  std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<std::shared_ptr<Connection>> queue_;  // requests not yet taken by the loop
  // Taken by the loop (or waiting for a larger buffer) and not yet answered.
  std::unordered_map<RequestId, std::shared_ptr<Connection>> taken_;
  bool terminated_ = false;
  std::once_flag terminate_once_;
};

Connection::Connection(Server& server, tcp::socket socket, ssl::context& context)
    : server_(server), stream_(std::move(socket), context), reply_timer_(stream_.get_executor()) {}

void Connection::Start() {
  beast::error_code ignored;
  tcp().socket().set_option(tcp::no_delay(true), ignored);
  tcp().expires_after(server_.limits().handshake_timeout);
  stream_.async_handshake(ssl::stream_base::server,
                          [self = shared_from_this()](beast::error_code ec) {
                            if (ec) return self->Close();
                            self->ReadRequest(true);
                          });
}

void Connection::Close() {
  if (closed_.exchange(true)) return;
  reply_timer_.cancel();
  tcp().close();
  server_.OnClosed(this, request_.id);
}

void Connection::ReadRequest(bool first) {
  if (closed()) return;
  parser_.emplace();
  parser_->header_limit(static_cast<uint32_t>(
      std::min<size_t>(server_.limits().max_header_bytes, std::numeric_limits<uint32_t>::max())));
  parser_->body_limit(server_.limits().max_body_bytes);
  if (buffer_.size() != 0) return ReadHeader();
  // Until the first byte of a request arrives the connection is idle; from then on the whole
  // header must come within the header timeout.
  const ServerLimits& limits = server_.limits();
  tcp().expires_after(first ? limits.header_timeout : limits.idle_timeout);
  stream_.async_read_some(buffer_.prepare(kReadChunk),
                          [self = shared_from_this()](beast::error_code ec, size_t n) {
                            if (ec) return self->Close();
                            self->buffer_.commit(n);
                            self->ReadHeader();
                          });
}

void Connection::ReadHeader() {
  tcp().expires_after(server_.limits().header_timeout);
  http::async_read_header(
      stream_, buffer_, *parser_,
      [self = shared_from_this()](beast::error_code ec, size_t) { self->OnHeader(ec); });
}

void Connection::OnHeader(beast::error_code ec) {
  if (ec == http::error::header_limit) return RejectAndClose(kHeaderTooLarge);
  if (ec && ec.category() == beast::error_code(http::error::end_of_stream).category() &&
      ec != http::error::end_of_stream && ec != http::error::partial_message) {
    return RejectAndClose(kBadRequest);
  }
  if (ec) return Close();
  tcp().expires_never();

  const auto& message = parser_->get();
  const std::string_view target = message.target();
  HttpRequest request;
  request.id = server_.NextId();
  request.verb = VerbNumber(message.method());
  if (const size_t mark = target.find('?'); mark != std::string_view::npos) {
    request.query = Utf8ToWide(target.substr(mark));
  }
  request.more_entity_body = !parser_->is_done();
  if (auto it = message.find(http::field::content_length); it != message.end()) {
    request.content_length = std::string(it->value());
  }
  // The size the API's record and its texts would take: the raw URL, the cooked URL in UTF-16,
  // every header's name and value, and an entry for each header without a slot.
  std::string host(message[http::field::host]);
  if (host.empty()) {
    beast::error_code ignored;
    host = "localhost:" + std::to_string(tcp().socket().local_endpoint(ignored).port());
  }
  size_t needed = kRequestRecordSize + target.size() + 1 +
                  Utf8ToWide("https://" + host + std::string(target)).size() * 2 + 2;
  for (const auto& field : message) {
    needed += field.name_string().size() + field.value().size() + 2;
    if (!IsPredefinedRequestHeader(field.name_string())) {
      request.unknown_headers.push_back(
          {std::string(field.name_string()), std::string(field.value())});
      needed += 16;
    }
  }
  needed_size_ = static_cast<uint32_t>(std::min<size_t>(needed, UINT32_MAX));
  keep_alive_ = message.version() >= 11 && message.keep_alive();
  expect_continue_ =
      message.version() >= 11 && beast::iequals(message[http::field::expect], "100-continue");
  head_request_ = message.method() == http::verb::head;
  request_ = std::move(request);
  taken_at_ = 0;
  StartReplyTimer();
  server_.Enqueue(shared_from_this());
}

bool Connection::ProbeAlive() {
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
void Connection::StartReplyTimer() {
  if (closed()) return;
  using Clock = std::chrono::steady_clock;
  const auto timeout = server_.limits().reply_timeout;
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

void Connection::ReadBodyPiece(std::span<std::byte> buffer,
                               std::function<void(uint32_t, uint32_t)> done) {
  if (closed()) return done(kErrorConnectionInvalid, 0);
  if (parser_->is_done()) return done(kErrorHandleEof, 0);
  if (buffer.empty()) return done(kErrorInvalidParameter, 0);
  reply_timer_.cancel();
  if (!expect_continue_) return ContinueBodyRead(buffer, std::move(done));
  // The client holds the body back until it hears that we want it.
  expect_continue_ = false;
  tcp().expires_after(server_.limits().body_timeout);
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

void Connection::ContinueBodyRead(std::span<std::byte> buffer,
                                  std::function<void(uint32_t, uint32_t)> done) {
  auto& body = parser_->get().body();
  body.data = buffer.data();
  body.size = buffer.size();
  body.more = true;
  tcp().expires_after(server_.limits().body_timeout);
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

void Connection::WriteResponse(const HttpResponse& response, std::function<void(uint32_t)> done) {
  if (closed()) return done(kErrorConnectionInvalid);
  reply_timer_.cancel();
  // A body the handler left unread cannot be skipped safely: the connection ends with the reply.
  const bool body_left = !parser_->is_done();
  const bool close_after = !keep_alive_ || body_left;
  const std::string_view reason =
      !response.reason.empty()
          ? std::string_view(response.reason)
          : http::obsolete_reason(static_cast<http::status>(response.status_code));
  head_ = "HTTP/1.1 " + std::to_string(response.status_code) + " " + std::string(reason) + "\r\n";
  auto add = [this](std::string_view name, std::string_view value) {
    head_.append(name).append(": ").append(value).append("\r\n");
  };
  if (!response.cache_control.empty()) add("Cache-Control", response.cache_control);
  if (!response.content_type.empty()) add("Content-Type", response.content_type);
  for (const auto& header : response.headers) add(header.name, header.value);
  add("Content-Length", std::to_string(response.body.size()));
  if (close_after) add("Connection", "close");
  head_ += "\r\n";

  const std::array<asio::const_buffer, 2> buffers = {
      asio::buffer(head_), head_request_ ? asio::const_buffer() : asio::buffer(response.body)};
  tcp().expires_after(server_.limits().body_timeout);
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

void Connection::Shutdown() {
  tcp().expires_after(kCloseTimeout);
  stream_.async_shutdown([self = shared_from_this()](beast::error_code) { self->Close(); });
}

// The client may still be sending the body we did not read; closing at once would reset the
// connection and could destroy the reply before the client reads it. So we end our side, then
// drop what still comes until the client closes or the close timeout passes.
void Connection::LingerAndClose() {
  beast::error_code ignored;
  tcp().socket().shutdown(tcp::socket::shutdown_send, ignored);
  tcp().expires_after(kCloseTimeout);
  Linger();
}

void Connection::Linger() {
  tcp().async_read_some(asio::buffer(drain_),
                        [self = shared_from_this()](beast::error_code ec, size_t) {
                          if (ec) return self->Close();
                          self->Linger();
                        });
}

void Connection::RejectAndClose(std::string_view reply) {
  tcp().expires_after(server_.limits().header_timeout);
  asio::async_write(stream_, asio::buffer(reply),
                    [self = shared_from_this()](beast::error_code ec, size_t) {
                      if (ec) return self->Close();
                      self->LingerAndClose();
                    });
}

Server::Server(TlsFiles tls, ServerLimits limits)
    : limits_(limits), work_(asio::make_work_guard(io_)) {
  beast::error_code ec;
  context_.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                           ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                           ssl::context::no_tlsv1_1 | ssl::context::single_dh_use,
                       ec);
  SSL_CTX* native = context_.native_handle();
  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  SSL_CTX_set_options(native, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  context_.use_certificate_chain_file(tls.certificate_chain.string(), ec);
  if (!ec) context_.use_private_key_file(tls.private_key.string(), ssl::context::pem, ec);
  tls_ready_ = !ec && SSL_CTX_check_private_key(native) == 1;
  io_thread_ = std::thread([this] {
    for (;;) {
      try {
        io_.run();
        return;
      } catch (...) {
        // A failing handler must not take the whole server down; its connection is gone.
      }
    }
  });
}

Server::~Server() { Terminate(); }

template <typename F>
auto Server::CallOnIo(F f) -> std::optional<decltype(f())> {
  std::packaged_task<decltype(f())()> task(std::move(f));
  auto result = task.get_future();
  {
    std::lock_guard lock(mutex_);
    if (terminated_) return std::nullopt;
    asio::post(io_, [&task] { task(); });
  }
  return result.get();
}

uint32_t Server::AddUrl(std::string_view url) {
  const auto port = ParseLocalhostUrl(url);
  if (!port) return kErrorInvalidParameter;
  if (!tls_ready_) return kErrorInvalidData;
  return CallOnIo([this, port = *port] { return Listen(port); }).value_or(kErrorOperationAborted);
}

uint32_t Server::Listen(uint16_t port) {
  std::deque<Listener> fresh;
  for (const auto& address : {asio::ip::address(asio::ip::address_v4::loopback()),
                              asio::ip::address(asio::ip::address_v6::loopback())}) {
    const tcp::endpoint endpoint(address, port);
    tcp::acceptor& acceptor = fresh.emplace_back(io_).acceptor;
    beast::error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec && address.is_v6()) acceptor.set_option(asio::ip::v6_only(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (!ec) continue;
    if (ec == asio::error::address_in_use) return kErrorAlreadyExists;
    // A machine without IPv6 loopback is served on 127.0.0.1 alone.
    if (address.is_v6() && (ec == asio::error::address_family_not_supported ||
                            ec == boost::system::errc::address_not_available)) {
      fresh.pop_back();
      continue;
    }
    return ec == asio::error::access_denied ? kErrorAccessDenied : kErrorGenFailure;
  }
  for (auto& listener : fresh) {
    Accept(listeners_.emplace_back(std::move(listener)));
  }
  return 0;
}

void Server::Accept(Listener& listener) {
  listener.acceptor.async_accept(io_, [this, &listener](beast::error_code ec, tcp::socket socket) {
    if (stopping_) return;
    if (ec) {
      if (ec == asio::error::operation_aborted) return;
      // Out of descriptors or the like: try again a little later instead of spinning.
      listener.retry.expires_after(kAcceptRetryDelay);
      listener.retry.async_wait([this, &listener](beast::error_code wait_ec) {
        if (!wait_ec && !stopping_) Accept(listener);
      });
      return;
    }
    if (open_.size() >= limits_.max_connections) {
      beast::error_code ignored;
      socket.close(ignored);
    } else {
      auto connection = std::make_shared<Connection>(*this, std::move(socket), context_);
      open_.emplace(connection.get(), connection);
      connection->Start();
    }
    Accept(listener);
  });
}

void Server::Enqueue(std::shared_ptr<Connection> connection) {
  {
    std::lock_guard lock(mutex_);
    if (!terminated_) queue_.push_back(std::move(connection));
  }
  queued_.notify_one();
}

void Server::OnClosed(Connection* connection, RequestId id) {
  open_.erase(connection);
  std::lock_guard lock(mutex_);
  if (auto it = taken_.find(id); it != taken_.end() && it->second.get() == connection) {
    taken_.erase(it);
  }
  std::erase_if(queue_, [connection](const auto& queued) { return queued.get() == connection; });
}

std::shared_ptr<Connection> Server::Taken(RequestId id) {
  std::lock_guard lock(mutex_);
  auto it = taken_.find(id);
  return it == taken_.end() ? nullptr : it->second;
}

uint32_t Server::Deliver(const std::shared_ptr<Connection>& connection, uint32_t buffer_size,
                         HttpRequest* request, uint32_t* bytes) {
  *bytes = connection->needed_size();
  if (connection->needed_size() > buffer_size) {
    *request = HttpRequest{};
    request->id = connection->request().id;
    return kErrorMoreData;
  }
  *request = connection->request();
  return 0;
}

uint32_t Server::ReceiveRequest(RequestId id, uint32_t buffer_size, HttpRequest* request,
                                uint32_t* bytes) {
  *bytes = 0;
  if (id != 0) {
    {
      std::lock_guard lock(mutex_);
      if (terminated_) return kErrorOperationAborted;
    }
    auto connection = Taken(id);
    if (!connection) return kErrorConnectionInvalid;
    const auto alive = CallOnIo([&connection] { return connection->ProbeAlive(); });
    if (!alive) return kErrorOperationAborted;
    if (!*alive) return kErrorConnectionInvalid;
    return Deliver(connection, buffer_size, request, bytes);
  }
  std::shared_ptr<Connection> connection;
  {
    std::unique_lock lock(mutex_);
    for (;;) {
      queued_.wait(lock, [this] { return terminated_ || !queue_.empty(); });
      if (terminated_) return kErrorOperationAborted;
      connection = std::move(queue_.front());
      queue_.pop_front();
      if (!connection->closed()) break;
    }
    taken_[connection->request().id] = connection;
    connection->MarkTaken();
  }
  return Deliver(connection, buffer_size, request, bytes);
}

uint32_t Server::ReceiveEntityBody(RequestId id, std::span<std::byte> buffer, uint32_t* bytes) {
  *bytes = 0;
  std::promise<std::pair<uint32_t, uint32_t>> result;
  {
    std::lock_guard lock(mutex_);
    if (terminated_) return kErrorOperationAborted;
    auto it = taken_.find(id);
    if (it == taken_.end()) return kErrorConnectionInvalid;
    // The read writes straight into the caller's buffer; we wait for it to finish, and closing
    // the connection (Terminate included) always completes it.
    asio::post(io_, [connection = it->second, buffer, &result] {
      connection->ReadBodyPiece(buffer, [&result](uint32_t status, uint32_t got) {
        result.set_value({status, got});
      });
    });
  }
  const auto [status, got] = result.get_future().get();
  *bytes = got;
  return status;
}

uint32_t Server::SendResponse(RequestId id, const HttpResponse& response) {
  for (const auto& header : response.headers) {
    if (!IsToken(header.name) || HasLineBreakOrNul(header.value)) return kErrorInvalidParameter;
  }
  if (HasLineBreakOrNul(response.reason) || HasLineBreakOrNul(response.cache_control) ||
      HasLineBreakOrNul(response.content_type) || response.status_code < 100 ||
      response.status_code > 999) {
    return kErrorInvalidParameter;
  }
  std::promise<uint32_t> result;
  {
    std::lock_guard lock(mutex_);
    if (terminated_) return kErrorOperationAborted;
    auto it = taken_.find(id);
    if (it == taken_.end()) return kErrorConnectionInvalid;
    // One reply per request: the id is spent.
    auto connection = std::move(it->second);
    taken_.erase(it);
    asio::post(io_, [connection = std::move(connection), &response, &result] {
      connection->WriteResponse(response, [&result](uint32_t status) { result.set_value(status); });
    });
  }
  return result.get_future().get();
}

void Server::Terminate() {
  std::call_once(terminate_once_, [this] {
    {
      std::lock_guard lock(mutex_);
      terminated_ = true;
    }
    queued_.notify_all();
    asio::post(io_, [this] {
      stopping_ = true;
      for (auto& listener : listeners_) {
        beast::error_code ignored;
        listener.retry.cancel();
        listener.acceptor.close(ignored);
      }
      std::vector<std::shared_ptr<Connection>> open;
      for (auto& [raw, weak] : open_) {
        if (auto connection = weak.lock()) open.push_back(std::move(connection));
      }
      for (auto& connection : open) connection->Close();
    });
    // With every socket closed the remaining handlers finish at once and the thread runs out
    // of work.
    work_.reset();
    if (io_thread_.joinable()) io_thread_.join();
    std::lock_guard lock(mutex_);
    queue_.clear();
    taken_.clear();
  });
}

}  // namespace

std::unique_ptr<HttpServer> HttpServer::Create(TlsFiles tls, ServerLimits limits) {
  return std::make_unique<Server>(std::move(tls), limits);
}

}  // namespace vemo::platform
