#include "platform/http_server.h"

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

#include "platform/http_connection.h"
#include "platform/http_records.h"
#include "platform/http_transport.h"
#include "platform/loopback_port.h"
#include "support/result_code.h"

namespace vemo::platform {
namespace {

constexpr uint32_t kErrorInvalidData = 13;  // the certificate or key cannot be used

// The request queue between the transport and the request loop, and the results the loop
// sees. A request is queued when its header and its body have arrived, taken by
// ReceiveRequest, and spent by SendResponse; a closed connection takes its request out of
// either place.
class RequestQueue final : public HttpServer, private HttpRequestSink {
 public:
  RequestQueue(TlsFiles tls, ServerLimits limits) : transport_(tls, limits, *this) {}
  ~RequestQueue() override { Terminate(); }

  uint32_t AddUrl(std::string_view url) override;
  uint32_t ReceiveRequest(RequestId id, uint32_t buffer_size, HttpRequest* request,
                          uint32_t* bytes) override;
  uint32_t ReceiveEntityBody(RequestId id, std::span<std::byte> buffer, uint32_t* bytes) override;
  uint32_t SendResponse(RequestId id, const HttpResponse& response) override;
  void Terminate() override;

 private:
  // On the I/O thread.
  void Enqueue(std::shared_ptr<HttpConnection> connection) override;
  void OnClosed(HttpConnection* connection, RequestId id) override;

  // Runs f on the I/O thread and waits for its result; nullopt once terminated.
  template <typename F>
  auto CallOnIo(F f) -> std::optional<decltype(f())>;
  std::shared_ptr<HttpConnection> Taken(RequestId id);
  static uint32_t Deliver(const std::shared_ptr<HttpConnection>& connection, uint32_t buffer_size,
                          HttpRequest* request, uint32_t* bytes);

  std::mutex mutex_;
  std::condition_variable queued_;
  std::deque<std::shared_ptr<HttpConnection>> queue_;  // requests not yet taken by the loop
  // Taken by the loop (or waiting for a larger buffer) and not yet answered.
  std::unordered_map<RequestId, std::shared_ptr<HttpConnection>> taken_;
  bool terminated_ = false;
  std::once_flag terminate_once_;

  // Last, so that what its I/O thread reports into is there from the start.
  HttpTransport transport_;
};

// Posting under the lock puts every hand-over ahead of Terminate's closing of the connections, so
// a caller waiting on one is always answered.
template <typename F>
auto RequestQueue::CallOnIo(F f) -> std::optional<decltype(f())> {
  std::packaged_task<decltype(f())()> task(std::move(f));
  auto result = task.get_future();
  {
    std::lock_guard lock(mutex_);
    if (terminated_) return std::nullopt;
    transport_.Post([&task] { task(); });
  }
  return result.get();
}

uint32_t RequestQueue::AddUrl(std::string_view url) {
  const auto port = ParseLocalhostUrl(url);
  if (!port) return kErrorInvalidParameter;
  if (!transport_.tls_ready()) return kErrorInvalidData;
  return CallOnIo([this, port = *port] { return transport_.Listen(port); })
      .value_or(kErrorOperationAborted);
}

void RequestQueue::Enqueue(std::shared_ptr<HttpConnection> connection) {
  {
    std::lock_guard lock(mutex_);
    if (!terminated_) queue_.push_back(std::move(connection));
  }
  queued_.notify_one();
}

void RequestQueue::OnClosed(HttpConnection* connection, RequestId id) {
  std::lock_guard lock(mutex_);
  if (auto it = taken_.find(id); it != taken_.end() && it->second.get() == connection) {
    taken_.erase(it);
  }
  std::erase_if(queue_, [connection](const auto& queued) { return queued.get() == connection; });
}

std::shared_ptr<HttpConnection> RequestQueue::Taken(RequestId id) {
  std::lock_guard lock(mutex_);
  auto it = taken_.find(id);
  return it == taken_.end() ? nullptr : it->second;
}

uint32_t RequestQueue::Deliver(const std::shared_ptr<HttpConnection>& connection,
                               uint32_t buffer_size, HttpRequest* request, uint32_t* bytes) {
  *bytes = connection->needed_size();
  if (connection->needed_size() > buffer_size) {
    *request = HttpRequest{};
    request->id = connection->request().id;
    return kErrorMoreData;
  }
  *request = connection->request();
  return 0;
}

uint32_t RequestQueue::ReceiveRequest(RequestId id, uint32_t buffer_size, HttpRequest* request,
                                      uint32_t* bytes) {
  *bytes = 0;
  if (id != 0) {
    {
      std::lock_guard lock(mutex_);
      if (terminated_) return kErrorOperationAborted;
    }
    auto connection = Taken(id);
    if (!connection) return kErrorConnectionInvalid;
    const auto alive = CallOnIo([&connection] { return connection->PeerPresent(); });
    if (!alive) return kErrorOperationAborted;
    if (!*alive) return kErrorConnectionInvalid;
    return Deliver(connection, buffer_size, request, bytes);
  }
  std::shared_ptr<HttpConnection> connection;
  {
    std::unique_lock lock(mutex_);
    if (terminated_) return kErrorOperationAborted;
    // The loop serves one request at a time: one it still holds unanswered is one it left.
    for (auto& [taken_id, earlier] : taken_) earlier->MarkLeft();
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

uint32_t RequestQueue::ReceiveEntityBody(RequestId id, std::span<std::byte> buffer,
                                         uint32_t* bytes) {
  *bytes = 0;
  std::shared_ptr<HttpConnection> connection;
  {
    std::lock_guard lock(mutex_);
    if (terminated_) return kErrorOperationAborted;
    auto it = taken_.find(id);
    if (it == taken_.end()) return kErrorConnectionInvalid;
    connection = it->second;
  }
  // The body is in memory: no hand-over to the I/O thread, no wait.
  return connection->ReadBody(buffer, bytes);
}

uint32_t RequestQueue::SendResponse(RequestId id, const HttpResponse& response) {
  if (!IsWritableResponse(response)) return kErrorInvalidParameter;
  std::promise<uint32_t> result;
  {
    std::lock_guard lock(mutex_);
    if (terminated_) return kErrorOperationAborted;
    auto it = taken_.find(id);
    if (it == taken_.end()) return kErrorConnectionInvalid;
    // One reply per request: the id is spent.
    auto connection = std::move(it->second);
    taken_.erase(it);
    transport_.Post([connection = std::move(connection), &response, &result] {
      connection->WriteResponse(response, [&result](uint32_t status) { result.set_value(status); });
    });
  }
  return result.get_future().get();
}

void RequestQueue::Terminate() {
  std::call_once(terminate_once_, [this] {
    {
      std::lock_guard lock(mutex_);
      terminated_ = true;
    }
    queued_.notify_all();
    transport_.Stop();
    std::lock_guard lock(mutex_);
    queue_.clear();
    taken_.clear();
  });
}

}  // namespace

std::unique_ptr<HttpServer> HttpServer::Create(TlsFiles tls, ServerLimits limits) {
  return std::make_unique<RequestQueue>(std::move(tls), limits);
}

}  // namespace vemo::platform
