#pragma once

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>

#include "platform/http_body.h"
#include "platform/http_server.h"

namespace vemo::platform {

class HttpConnection;

// Where the transport hands its requests over. Called on the I/O thread.
class HttpRequestSink {
 public:
  // A request header has arrived and waits to be taken.
  virtual void Enqueue(std::shared_ptr<HttpConnection> connection) = 0;
  // The connection is gone; id is its last request's (0 before the first).
  virtual void OnClosed(HttpConnection* connection, RequestId id) = 0;

 protected:
  ~HttpRequestSink() = default;
};

// The socket side of the server: the TLS context, the I/O thread, the listening sockets and the
// open connections. Post and Stop may be called from any thread but the I/O thread; the rest
// runs on the I/O thread.
class HttpTransport {
 public:
  // Starts the I/O thread; nothing listens until Listen.
  HttpTransport(const TlsFiles& tls, ServerLimits limits, HttpRequestSink& sink);
  ~HttpTransport();
  HttpTransport(const HttpTransport&) = delete;
  HttpTransport& operator=(const HttpTransport&) = delete;

  // Whether the certificate and the key could be loaded and belong together.
  bool tls_ready() const { return tls_ready_; }

  template <typename F>
  void Post(F&& f) {
    boost::asio::post(io_, std::forward<F>(f));
  }

  // Closes the listening sockets and every connection, which completes their pending
  // operations, and joins the I/O thread. Later calls do nothing.
  void Stop();

  // On the I/O thread: 0, 183 when another process holds the port, 5 or 31 otherwise.
  uint32_t Listen(uint16_t port);

  // For the connections, on the I/O thread.
  const ServerLimits& limits() const { return limits_; }
  const std::shared_ptr<BodyBudget>& budget() const { return budget_; }
  RequestId NextId() { return next_id_.fetch_add(1); }
  void Enqueue(std::shared_ptr<HttpConnection> connection);
  void OnClosed(HttpConnection* connection, RequestId id);

 private:
  struct Listener {
    explicit Listener(boost::asio::ip::tcp::acceptor listening)
        : acceptor(std::move(listening)), retry(acceptor.get_executor()) {}
    boost::asio::ip::tcp::acceptor acceptor;
    boost::asio::steady_timer retry;  // after a failed accept
  };
  void Accept(Listener& listener);
  // At the connection cap: closes the connection that has waited longest for nothing of ours.
  // False when every one has something under way.
  bool MakeRoom();

  const ServerLimits limits_;
  HttpRequestSink& sink_;
  const std::shared_ptr<BodyBudget> budget_;
  boost::asio::ssl::context context_{boost::asio::ssl::context::tls_server};
  bool tls_ready_ = false;
  std::atomic<RequestId> next_id_{1};

  boost::asio::io_context io_{1};
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work_;
  std::thread io_thread_;
  std::once_flag stop_once_;

  // I/O thread only.
  std::deque<Listener> listeners_;
  std::unordered_map<HttpConnection*, std::weak_ptr<HttpConnection>> open_;
  uint64_t accepted_ = 0;
  bool stopping_ = false;
};

}  // namespace vemo::platform
