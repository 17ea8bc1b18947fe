#include "platform/http_records.h"

#include <algorithm>
#include <array>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/verb.hpp>

#include "support/text_conversions.h"

namespace vemo::platform {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;

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

// Every reply passes these checks: plain loops, and a table for the bytes of a name, where a
// search of a set of characters would cost a library call per character.
bool HasLineBreakOrNul(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
}

// The bytes of a header name: visible ASCII but the separators.
constexpr std::array<bool, 256> kTokenBytes = [] {
  std::array<bool, 256> bytes{};
  constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={}";
  for (int c = 0x21; c < 0x7f; ++c) {
    bytes[c] = kSeparators.find(static_cast<char>(c)) == std::string_view::npos;
  }
  return bytes;
}();

bool IsToken(std::string_view name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return kTokenBytes[static_cast<unsigned char>(c)];
  });
}

}  // namespace

RequestRecord BuildRequestRecord(const http::request_header<>& header, std::string_view host) {
  const std::string_view target = header.target();
  RequestRecord record;
  HttpRequest& request = record.request;
  request.verb = VerbNumber(header.method());
  if (const size_t mark = target.find('?'); mark != std::string_view::npos) {
    request.query = Utf8ToWide(target.substr(mark));
  }
  if (auto it = header.find(http::field::content_length); it != header.end()) {
    request.content_length = std::string(it->value());
  }
  // The raw URL, the cooked URL in UTF-16, every header's name and value, and an entry for each
  // header without a slot.
  size_t needed = kRequestRecordSize + target.size() + 1 +
                  Utf8ToWide("https://" + std::string(host) + std::string(target)).size() * 2 + 2;
  for (const auto& field : header) {
    needed += field.name_string().size() + field.value().size() + 2;
    if (!IsPredefinedRequestHeader(field.name_string())) {
      request.unknown_headers.push_back(
          {std::string(field.name_string()), std::string(field.value())});
      needed += 16;
    }
  }
  record.needed_size = static_cast<uint32_t>(std::min<size_t>(needed, UINT32_MAX));
  return record;
}

bool IsWritableResponse(const HttpResponse& response) {
  for (const auto& header : response.headers) {
    if (!IsToken(header.name) || HasLineBreakOrNul(header.value)) return false;
  }
  return !HasLineBreakOrNul(response.reason) && !HasLineBreakOrNul(response.cache_control) &&
         !HasLineBreakOrNul(response.content_type) && response.status_code >= 100 &&
         response.status_code <= 999;
}

std::string FormatResponseHead(const HttpResponse& response, bool close_after) {
  const std::string_view reason =
      !response.reason.empty()
          ? std::string_view(response.reason)
          : http::obsolete_reason(static_cast<http::status>(response.status_code));
  std::string head =
      "HTTP/1.1 " + std::to_string(response.status_code) + " " + std::string(reason) + "\r\n";
  auto add = [&head](std::string_view name, std::string_view value) {
    head.append(name).append(": ").append(value).append("\r\n");
  };
  if (!response.cache_control.empty()) add("Cache-Control", response.cache_control);
  if (!response.content_type.empty()) add("Content-Type", response.content_type);
  for (const auto& header : response.headers) add(header.name, header.value);
  add("Content-Length", std::to_string(response.body.size()));
  if (close_after) add("Connection", "close");
  head += "\r\n";
  return head;
}

}  // namespace vemo::platform
