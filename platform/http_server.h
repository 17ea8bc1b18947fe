#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vemo::platform {

// The local HTTPS server as the request loop uses it: a request queue with the results of the
// Windows HTTP Server API that the service was written against. Every call returns 0 or a
// Windows-style error number (support/result_code.h):
//   AddUrl                183 when another process holds the port
//   ReceiveRequest        234 with the needed size when the request does not fit,
//                         1229 when the client left before a repeated receive,
//                         995 after Terminate
//   ReceiveEntityBody     0 with a piece, 38 with the last piece (possibly empty),
//                         1229 when the client left, 8 past the part of a body too large
//                         to be kept; other errors abort the request
//   SendResponse          0 when the reply was written
//
// The server listens on 127.0.0.1 and ::1 only, with TLS 1.2 or newer.

// The API's verb numbers.
enum class HttpVerb : int {
  kUnparsed = 0,
  kUnknown = 1,
  kInvalid = 2,
  kOptions = 3,
  kGet = 4,
  kHead = 5,
  kPost = 6,
  kPut = 7,
  kDelete = 8,
  kTrace = 9,
  kConnect = 10,
};

using RequestId = uint64_t;

struct UnknownHeader {
  std::string name;  // exactly as the client sent it
  std::string value;
};

// The fields of a received request that the service reads.
struct HttpRequest {
  RequestId id = 0;
  HttpVerb verb = HttpVerb::kUnparsed;
  // The query string of the URL from its "?" on, as received (percent-escapes untouched,
  // UTF-8 decoded into UTF-16); nullopt when the URL has no "?".
  std::optional<std::u16string> query;
  bool more_entity_body = false;               // HTTP_REQUEST_FLAG_MORE_ENTITY_BODY_EXISTS
  std::optional<std::string> content_length;   // the raw header value
  std::vector<UnknownHeader> unknown_headers;  // headers without a predefined slot, in order
};

// Room that the API's request record takes before its texts.
inline constexpr uint32_t kRequestRecordSize = 472;

struct HttpResponse {
  uint16_t status_code = 200;
  std::string reason;
  std::string cache_control;  // predefined header; omitted when empty
  std::string content_type;   // predefined header; omitted when empty
  std::vector<UnknownHeader> headers;
  std::string_view body;  // must stay valid during SendResponse
};

struct ServerLimits {
  size_t max_header_bytes = 64 * 1024;
  // At the cap a new connection closes the oldest one that waits for nothing of ours: one in
  // its handshake, one idle or in the middle of its header, one holding a request that the
  // loop left unanswered. Only when every connection has something under way is the new one
  // refused.
  size_t max_connections = 256;
  std::chrono::milliseconds handshake_timeout{10'000};
  std::chrono::milliseconds header_timeout{10'000};  // from the first byte to the last header
  // The keep-alive wait for the next request; also how long a request that the loop went past
  // without answering keeps its connection (at once closed when its client closes).
  std::chrono::milliseconds idle_timeout{60'000};
  std::chrono::milliseconds write_timeout{60'000};  // writing a reply
  // A taken request that gets no reply gives its connection up after this; long enough for a
  // signing that waits for the user.
  std::chrono::milliseconds reply_timeout{600'000};
  // A request reaches the queue only when its whole body has arrived, so the loop never waits
  // on a client. The body must come at min_body_rate bytes a second at least, counted over each
  // body_rate_window (or end within it); a slower one ends alone, its connection closed and an
  // event log entry written. 0: no minimum.
  uint64_t min_body_rate = 32 * 1024;
  std::chrono::milliseconds body_rate_window{5'000};
  uint64_t max_body_bytes = 64 * 1024 * 1024;  // larger bodies abort the request
  // The largest body kept for one request. A larger declared body is handed over unread and a
  // longer chunked one cut there; reading past what was kept gives 8.
  uint64_t max_body_in_memory = 64 * 1024 * 1024;
  // What the bodies in memory may take together; a body that finds no room ends alone, as a
  // slow one does.
  uint64_t body_memory = 128 * 1024 * 1024;
};

struct TlsFiles {
  std::filesystem::path certificate_chain;  // PEM: leaf, then the local CA
  std::filesystem::path private_key;        // PEM
};

// ReceiveRequest, ReceiveEntityBody and SendResponse are called from one thread at a time (the
// request loop). None of them waits on a client: a request is received whole, body included,
// before ReceiveRequest hands it over, and ReceiveEntityBody reads from memory. When the loop
// takes a new request while an earlier one is still unanswered, the earlier one counts as left
// unanswered (see idle_timeout).
class HttpServer {
 public:
  // Nothing listens until AddUrl.
  static std::unique_ptr<HttpServer> Create(TlsFiles tls, ServerLimits limits = {});
  virtual ~HttpServer() = default;

  // Starts listening for "https://localhost:PORT/": 0, 183 when the port is taken, another
  // error number for any other failure (87 for an address we do not serve).
  virtual uint32_t AddUrl(std::string_view url) = 0;

  // Waits for the next request, or for the request with this id after a 234. buffer_size is
  // the caller's receive buffer; a request whose record and texts need more gives 234, its id
  // in request->id and the needed size in *bytes.
  virtual uint32_t ReceiveRequest(RequestId id, uint32_t buffer_size, HttpRequest* request,
                                  uint32_t* bytes) = 0;

  // Copies the next piece of the request body into the buffer.
  virtual uint32_t ReceiveEntityBody(RequestId id, std::span<std::byte> buffer,
                                     uint32_t* bytes) = 0;

  // Writes the reply; the server adds the protocol version and Content-Length.
  virtual uint32_t SendResponse(RequestId id, const HttpResponse& response) = 0;

  // Stops listening and makes a pending and every later ReceiveRequest fail with 995; the
  // port is free again when Terminate returns. Callable from any thread.
  virtual void Terminate() = 0;
};

}  // namespace vemo::platform
