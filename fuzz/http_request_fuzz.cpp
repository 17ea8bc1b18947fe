// The server layer's request parsing on the raw bytes that arrive after TLS on one keep-alive
// connection: Beast's request parser with the service's header and body limits, read as the
// connection reads (header, then the body into a buffer of our own), and the request record
// that the queue hands to the request loop.
//
// Input: the first byte chooses how the stream is cut into reads (0: all at once, n: n bytes a
// read); the rest is the stream. Properties:
//   - the records, bodies and the end of the connection do not depend on how the stream was
//     cut into reads;
//   - every record holds what its header said (verb, query, Content-Length, the headers
//     without a slot in order) and asks for at least the room its texts take;
//   - a reply head that IsWritableResponse lets through reads back, with Beast's response
//     parser, as the status, reason and headers it was made from.

#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/http_records.h"
#include "service/service_host.h"
#include "support/text_conversions.h"

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
using vemo::platform::HttpRequest;
using vemo::platform::HttpResponse;

constexpr char kTarget[] = "http_request_fuzz";

void Check(bool holds, const std::string& what) {
  if (!holds) vemo::fuzz::Fail(kTarget, what);
}

struct Parsed {
  HttpRequest request;
  uint32_t needed_size = 0;
  std::string body;
  bool operator==(const Parsed& other) const {
    const HttpRequest& a = request;
    const HttpRequest& b = other.request;
    if (a.unknown_headers.size() != b.unknown_headers.size()) return false;
    for (size_t i = 0; i < a.unknown_headers.size(); ++i) {
      if (a.unknown_headers[i].name != b.unknown_headers[i].name ||
          a.unknown_headers[i].value != b.unknown_headers[i].value) {
        return false;
      }
    }
    return a.verb == b.verb && a.query == b.query && a.content_length == b.content_length &&
           a.more_entity_body == b.more_entity_body && needed_size == other.needed_size &&
           body == other.body;
  }
};

// How a connection ended.
enum class End { kInputUsed, kClosed, kHeaderTooLarge, kBadRequest, kBadBody, kBodyNotKept };

struct Connection {
  std::vector<Parsed> requests;
  End end = End::kInputUsed;
};

void CheckRecord(const http::request_header<>& header, const Parsed& parsed) {
  const HttpRequest& request = parsed.request;
  const std::string_view target = header.target();
  const size_t mark = target.find('?');
  if (mark == std::string_view::npos) {
    Check(!request.query, "a query without \"?\"");
  } else {
    Check(request.query == vemo::Utf8ToWide(target.substr(mark)), "the query");
  }
  const auto length = header.find(http::field::content_length);
  Check(request.content_length.has_value() == (length != header.end()), "Content-Length slot");
  if (length != header.end()) Check(*request.content_length == length->value(), "Content-Length");
  // Headers without a slot come in the order sent, each one a header of the request.
  auto field = header.begin();
  for (const auto& unknown : request.unknown_headers) {
    while (field != header.end() &&
           (field->name_string() != unknown.name || field->value() != unknown.value)) {
      ++field;
    }
    Check(field != header.end(), "an unknown header that the request did not have");
    ++field;
  }
  size_t texts = target.size();
  for (const auto& f : header) texts += f.name_string().size() + f.value().size();
  Check(parsed.needed_size >= vemo::platform::kRequestRecordSize + texts ||
            parsed.needed_size == UINT32_MAX,
        "the record asks for less room than its texts take");
}

// A reply made of the request's own texts: what IsWritableResponse lets through must read back.
void CheckReplyHead(const HttpRequest& request) {
  HttpResponse response;
  response.status_code = static_cast<uint16_t>(100 + request.unknown_headers.size() * 37 % 900);
  if (!request.unknown_headers.empty()) response.reason = request.unknown_headers[0].value;
  response.cache_control = "no-cache, no-store";
  response.content_type = request.content_length.value_or("");
  response.headers = request.unknown_headers;
  const std::string body = "{\"status\":\"OK\"}";
  response.body = body;
  if (!vemo::platform::IsWritableResponse(response)) return;

  const std::string head = vemo::platform::FormatResponseHead(response, true);
  http::response_parser<http::empty_body> parser;
  parser.skip(true);  // the head alone
  parser.header_limit(UINT32_MAX);
  beast::error_code ec;
  parser.put(boost::asio::buffer(head), ec);
  Check(!ec && parser.is_header_done(),
        "a writable reply head does not parse: " + ec.message() + "\n" + head);
  const auto& message = parser.get();
  Check(message.result_int() == response.status_code, "status read back");
  Check(
      message.reason() ==
          (response.reason.empty()
               ? std::string(http::obsolete_reason(static_cast<http::status>(response.status_code)))
               : response.reason),
      "reason read back");
  // Blanks around a value are not part of it in HTTP.
  const auto trim = [](std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
  };
  std::vector<std::pair<std::string, std::string>> expected;
  expected.emplace_back("Cache-Control", response.cache_control);
  if (!response.content_type.empty()) expected.emplace_back("Content-Type", response.content_type);
  for (const auto& h : response.headers) expected.emplace_back(h.name, h.value);
  expected.emplace_back("Content-Length", std::to_string(body.size()));
  expected.emplace_back("Connection", "close");
  size_t i = 0;
  for (const auto& f : message) {
    Check(i < expected.size(), "more headers read back than written");
    Check(f.name_string() == expected[i].first && f.value() == trim(expected[i].second),
          "header read back: " + std::string(f.name_string()));
    ++i;
  }
  Check(i == expected.size(), "fewer headers read back than written");
}

// One connection, read as the server reads it: `cut` bytes at a time (0: all at once).
Connection Serve(std::string_view stream, size_t cut) {
  const vemo::platform::ServerLimits limits = vemo::SigningService::DefaultLimits();
  Connection connection;
  beast::flat_buffer buffer;
  size_t offset = 0;
  // The next read; false when the client has nothing more.
  auto read = [&]() {
    if (offset == stream.size()) return false;
    const size_t n = cut == 0 ? stream.size() - offset : std::min(cut, stream.size() - offset);
    auto room = buffer.prepare(n);
    std::memcpy(room.data(), stream.data() + offset, n);
    buffer.commit(n);
    offset += n;
    return true;
  };

  for (;;) {
    http::request_parser<http::buffer_body> parser;
    parser.header_limit(static_cast<uint32_t>(
        std::min<size_t>(limits.max_header_bytes, std::numeric_limits<uint32_t>::max())));
    parser.body_limit(limits.max_body_bytes);
    if (buffer.size() == 0 && !read()) return connection;
    beast::error_code ec;
    for (;;) {
      ec = {};
      buffer.consume(parser.put(buffer.data(), ec));
      if (ec == http::error::need_more || (!ec && !parser.is_header_done())) {
        if (!read()) {
          connection.end = End::kClosed;
          return connection;
        }
        continue;
      }
      break;
    }
    if (ec == http::error::header_limit) {
      connection.end = End::kHeaderTooLarge;
      return connection;
    }
    if (ec) {
      connection.end = End::kBadRequest;
      return connection;
    }

    const auto& message = parser.get();
    std::string host(message[http::field::host]);
    if (host.empty()) host = "localhost:9009";
    vemo::platform::RequestRecord record = vemo::platform::BuildRequestRecord(message, host);
    Parsed parsed;
    parsed.request = std::move(record.request);
    parsed.needed_size = record.needed_size;
    parsed.request.more_entity_body = !parser.is_done();
    CheckRecord(message, parsed);
    CheckReplyHead(parsed.request);
    const bool keep_alive = message.version() >= 11 && message.keep_alive();

    if (parsed.request.more_entity_body) {
      // The body goes into memory of its own, as much as the client sends, however cut.
      if (const auto declared = parser.content_length(); declared && *declared > stream.size()) {
        connection.requests.push_back(std::move(parsed));
        connection.end = End::kBodyNotKept;
        return connection;
      }
      parser.eager(true);
      std::string& body = parsed.body;
      for (;;) {
        if (parser.is_done()) break;
        if (buffer.size() == 0 && !read()) {
          connection.requests.push_back(std::move(parsed));
          connection.end = End::kClosed;
          return connection;
        }
        char room[4096];
        auto& target = parser.get().body();
        target.data = room;
        target.size = sizeof room;
        target.more = true;
        ec = {};
        const size_t used = parser.put(buffer.data(), ec);
        buffer.consume(used);
        body.append(room, sizeof room - target.size);
        target.data = nullptr;
        if (ec == http::error::need_buffer) continue;
        if (ec == http::error::need_more || (!ec && used == 0 && !parser.is_done())) {
          if (!read()) {
            connection.requests.push_back(std::move(parsed));
            connection.end = End::kClosed;
            return connection;
          }
          continue;
        }
        if (ec) {
          connection.requests.push_back(std::move(parsed));
          connection.end = End::kBadBody;
          return connection;
        }
      }
      if (const auto declared = parser.content_length()) {
        Check(body.size() == *declared, "a body of another length than declared");
      }
    }
    connection.requests.push_back(std::move(parsed));
    if (!keep_alive) return connection;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  const Connection whole = Serve(stream, 0);
  const Connection cut = Serve(stream, data[0]);
  // The parser may see a broken header as soon as it has the bytes, or only once the header
  // has ended: a client whose bytes stopped before that is just gone.
  const bool same_end =
      whole.end == cut.end || whole.end == End::kClosed || cut.end == End::kClosed;
  Check(same_end, "the connection ends differently when its bytes come in other reads: " +
                      std::to_string(static_cast<int>(whole.end)) + " whole, " +
                      std::to_string(static_cast<int>(cut.end)) + " cut");
  Check(whole.requests == cut.requests, "the requests differ when their bytes come in other reads");
  return 0;
}
