#include "platform/http_transport.h"

#include <openssl/ssl.h>

#include <chrono>
#include <vector>

#include "platform/http_connection.h"
#include "platform/loopback_port.h"

namespace vemo::platform {
namespace {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

constexpr std::chrono::milliseconds kAcceptRetryDelay{100};

}  // namespace

HttpTransport::HttpTransport(const TlsFiles& tls, ServerLimits limits, HttpRequestSink& sink)
    : limits_(limits),
      sink_(sink),
      budget_(std::make_shared<BodyBudget>(limits.body_memory)),
      work_(asio::make_work_guard(io_)) {
  boost::system::error_code ec;
  context_.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                           ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                           ssl::context::no_tlsv1_1 | ssl::context::single_dh_use,
                       ec);
  SSL_CTX* native = context_.native_handle();
  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  SSL_CTX_set_options(native, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  // An idle connection gives its record buffers back, so that a crowd of them costs little.
  SSL_CTX_set_mode(native, SSL_MODE_RELEASE_BUFFERS);
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

HttpTransport::~HttpTransport() { Stop(); }

void HttpTransport::Stop() {
  std::call_once(stop_once_, [this] {
    asio::post(io_, [this] {
      stopping_ = true;
      for (auto& listener : listeners_) {
        boost::system::error_code ignored;
        listener.retry.cancel();
        listener.acceptor.close(ignored);
      }
      std::vector<std::shared_ptr<HttpConnection>> open;
      for (auto& [raw, weak] : open_) {
        if (auto connection = weak.lock()) open.push_back(std::move(connection));
      }
      for (auto& connection : open) connection->Close();
    });
    // With every socket closed the remaining handlers finish at once and the thread runs out
    // of work.
    work_.reset();
    if (io_thread_.joinable()) io_thread_.join();
  });
}

uint32_t HttpTransport::Listen(uint16_t port) {
  std::vector<tcp::acceptor> acceptors;
  if (const uint32_t status = ListenOnLoopback(io_, port, &acceptors); status != 0) return status;
  for (auto& acceptor : acceptors) {
    Accept(listeners_.emplace_back(std::move(acceptor)));
  }
  return 0;
}

void HttpTransport::Accept(Listener& listener) {
  listener.acceptor.async_accept(
      io_, [this, &listener](boost::system::error_code ec, tcp::socket socket) {
        if (stopping_) return;
        if (ec) {
          if (ec == asio::error::operation_aborted) return;
          // Out of descriptors or the like: try again a little later instead of spinning.
          listener.retry.expires_after(kAcceptRetryDelay);
          listener.retry.async_wait([this, &listener](boost::system::error_code wait_ec) {
            if (!wait_ec && !stopping_) Accept(listener);
          });
          return;
        }
        if (open_.size() >= limits_.max_connections && !MakeRoom()) {
          boost::system::error_code ignored;
          socket.close(ignored);
        } else {
          auto connection = std::make_shared<HttpConnection>(*this, ++accepted_, std::move(socket),
                                                             context_);
          open_.emplace(connection.get(), connection);
          connection->Start();
        }
        Accept(listener);
      });
}

bool HttpTransport::MakeRoom() {
  std::shared_ptr<HttpConnection> oldest;
  for (auto& [raw, weak] : open_) {
    auto connection = weak.lock();
    if (!connection || !connection->evictable()) continue;
    if (!oldest || connection->evictable_since() < oldest->evictable_since()) {
      oldest = std::move(connection);
    }
  }
  if (!oldest) return false;
  oldest->Close();
  return true;
}

void HttpTransport::Enqueue(std::shared_ptr<HttpConnection> connection) {
  sink_.Enqueue(std::move(connection));
}

void HttpTransport::OnClosed(HttpConnection* connection, RequestId id) {
  open_.erase(connection);
  sink_.OnClosed(connection, id);
}

}  // namespace vemo::platform
