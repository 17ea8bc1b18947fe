#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <string>

#include "service/request_handlers.h"
#include "support/base64.h"
#include "support/event_catalogue.h"
#include "support/event_log.h"
#include "support/text_conversions.h"

namespace vemo {
namespace {

constexpr std::u16string_view kActionPrefix = u"?action=";

// The number at the start of an "option" value, read as the C library's text-to-integer
// conversion reads it: leading blanks and a sign allowed, 0 when there are no digits.
int32_t LeadingNumber(const std::string& value) {
  errno = 0;
  const long number = std::strtol(value.c_str(), nullptr, 10);
  if (errno == ERANGE || number > INT32_MAX || number < INT32_MIN) return 0;
  return static_cast<int32_t>(number);
}

// The last "option" header (name exact) sets the Avest login flags when it is 1, 8 or 9.
void TakeOptionHeader(const platform::HttpRequest& request, AvestProvider& avest) {
  int32_t option = 0;
  for (const auto& header : request.unknown_headers) {
    if (header.name == "option") option = LeadingNumber(header.value);
  }
  if (option == 1 || option == 8 || option == 9) avest.SetLoginFlags(option);
}

// A Content-Length is taken only as a plain decimal number: anything else would make the
// buffer size a guess.
std::optional<uint64_t> ParseContentLength(const std::string& raw) {
  if (raw.empty() || raw.size() > 19) return std::nullopt;
  uint64_t value = 0;
  for (char c : raw) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  return value;
}

ResultCode ReplyCodeFor(ResultCode rc) {
  if (rc == kDataEncodingError) {
    WriteEvent(u"Sign failed", u"Data base64 error", std::monostate{}, EventValueFormat::kText);
    return kDataEncodingError;
  }
  if (rc == kAvestDllError1 || rc == kAvestDllError2) {
    WriteEvent(u"Sign failed", u"Avest dll error", std::monostate{}, EventValueFormat::kText);
    return kAvestLibraryError;
  }
  if (IsAvestCode(rc)) {
    WriteEvent(u"Sign failed", u"Avest error", std::monostate{}, EventValueFormat::kText);
    return rc;
  }
  WriteEvent(u"Sign failed", u"unknown signing error, check retcodes", std::monostate{},
             EventValueFormat::kText);
  return IsEnigmaCode(rc) ? rc : kSigningError;
}

// Reads the whole body into one buffer of at most `capacity` bytes. Returns 0, the receive's
// error number, kErrorNotEnoughMemory, or kErrorMoreData when the body does not fit.
uint32_t ReadBody(platform::HttpServer& server, platform::RequestId id, uint64_t capacity,
                  bool size_known, std::string* body) {
  try {
    // A declared size is allocated at once; without one the buffer grows up to the capacity,
    // so that a small chunked body does not cost the whole default size.
    body->resize(size_known ? capacity : std::min<uint64_t>(capacity, 64 * 1024));
  } catch (const std::bad_alloc&) {
    return kErrorNotEnoughMemory;
  }
  size_t total = 0;
  for (;;) {
    if (total == body->size()) {
      if (body->size() < capacity) {
        try {
          body->resize(std::min<uint64_t>(capacity, body->size() * 2));
        } catch (const std::bad_alloc&) {
          return kErrorNotEnoughMemory;
        }
      } else {
        // Full: the body must end here. One byte of room tells whether more is coming.
        std::array<std::byte, 1> probe;
        uint32_t bytes = 0;
        const uint32_t rc = server.ReceiveEntityBody(id, probe, &bytes);
        if (rc == kErrorHandleEof && bytes == 0) break;
        if (rc != 0 && rc != kErrorHandleEof) return rc;
        return kErrorMoreData;
      }
    }
    std::span<std::byte> room(reinterpret_cast<std::byte*>(body->data()) + total,
                              body->size() - total);
    uint32_t bytes = 0;
    const uint32_t rc = server.ReceiveEntityBody(id, room, &bytes);
    if (rc != 0 && rc != kErrorHandleEof) return rc;
    total += std::min<size_t>(bytes, room.size());
    if (rc == kErrorHandleEof) break;
  }
  body->resize(total);
  return 0;
}

}  // namespace

ResultCode SignDocument(Providers& providers, char* signature, int32_t* length,
                        std::string_view body) {
  std::string document;
  try {
    document = Base64Decode(body);
  } catch (const std::exception&) {
    return kDataEncodingError;
  }
  const std::u16string provider = providers.active().Get();
  ResultCode result = kSigningError;
  if (provider == kAvestName) {
    result = providers.avest().Sign(std::move(document), signature, length);
  } else if (provider == kEnigmaName) {
    result = providers.enigma().Sign(std::move(document), signature, length);
  }
  // "Энигма2" has no sign operation of its own: the request fails as a signing error rather
  // than returning whatever the buffer held.
  if (result == kResultOk && (*length < 0 || *length >= kSignatureBufferSize)) {
    result = kSigningError;
  }
  return result;
}

uint32_t HandlePostRequest(platform::HttpServer& server, const platform::HttpRequest& request,
                           Providers& providers) {
  const platform::RequestId id = request.id;
  auto reply = [&](ResultCode code, std::optional<std::string_view> payload = std::nullopt) {
    return SendReply(server, id, code, payload, providers.active().Get());
  };

  if (!request.query) {
    WriteEvent(u"Request string is empty", std::nullopt, std::monostate{}, EventValueFormat::kText);
    return reply(kBadRequest);
  }
  const std::u16string_view query = *request.query;
  if (!query.starts_with(kActionPrefix)) {
    LogEvent(2, u"expected ?action=", query);
    return reply(kBadRequest);
  }
  if (query.substr(kActionPrefix.size()) != u"getDocSign") {
    LogEvent(2, u"invalid post request", query);
    return reply(kBadRequest);
  }
  // Before the body is looked at, so that the flags stay even when this request fails.
  TakeOptionHeader(request, providers.avest());

  uint64_t capacity = kDefaultBodySize;
  if (request.content_length) {
    const auto declared = ParseContentLength(*request.content_length);
    if (!declared || *declared > kMaxBodySize) {
      const std::u16string raw = Utf8ToWide(*request.content_length);
      WriteEvent(declared ? u"Post request data too large" : u"Invalid content length",
                 std::nullopt, std::u16string_view(raw), EventValueFormat::kText);
      return reply(kBadRequest);
    }
    capacity = *declared;
  }
  if (!request.more_entity_body) {
    WriteEvent(u"Post request data missing", std::nullopt, query, EventValueFormat::kText);
    return reply(kNoRequestData);
  }

  WriteEvent(u"Post request data reading", std::nullopt, query, EventValueFormat::kText);
  std::string body;
  const uint32_t read = ReadBody(server, id, capacity, request.content_length.has_value(), &body);
  if (read == kErrorMoreData) {
    WriteEvent(u"Post request data too large", std::nullopt, query, EventValueFormat::kText);
    return reply(kBadRequest);
  }
  if (read != 0) return read;
  LogEvent(4, std::nullopt, static_cast<int32_t>(body.size()));

  ResultCode code = kSigningError;
  std::array<char, kSignatureBufferSize + 1> signature{};
  int32_t length = kSignatureBufferSize;
  if (body.empty()) {
    WriteEvent(u"Sign failed", u"unknown signing error, check retcodes", std::monostate{},
               EventValueFormat::kText);
  } else {
    const ResultCode rc = SignDocument(providers, signature.data(), &length, body);
    std::string().swap(body);  // the body is not needed for the reply
    if (rc == kResultOk) {
      return reply(kReplySignature, std::string_view(signature.data(), length));
    }
    code = ReplyCodeFor(rc);
  }
  return reply(code);
}

}  // namespace vemo
