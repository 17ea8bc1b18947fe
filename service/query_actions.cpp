#include <optional>
#include <string>

#include "service/reply.h"
#include "service/request_handlers.h"
#include "support/event_log.h"

namespace vemo {
namespace {

constexpr std::u16string_view kActionPrefix = u"?action=";

}  // namespace

uint32_t SendReply(platform::HttpServer& server, platform::RequestId id, ResultCode code,
                   std::optional<std::string_view> payload, std::u16string_view active_provider) {
  // Every reply has the same status and headers: they are made once for the thread that sends
  // (the request loop), so that a reply costs only its body.
  thread_local std::optional<platform::HttpResponse> response;
  std::string text;
  try {
    text = BuildReplyBody(code, payload, active_provider);
    if (!response) PrepareResponse(&response.emplace(), {});
  } catch (const std::bad_alloc&) {
    response.reset();
    return kErrorNotEnoughMemory;
  }
  response->body = text;
  const uint32_t result = server.SendResponse(id, *response);
  response->body = {};
  return result;
}

uint32_t AnswerPreflight(platform::HttpServer& server, const platform::HttpRequest& request) {
  // The preflight gets the reply every request gets, whatever it asks for.
  return SendReply(server, request.id, kResultOk, std::nullopt, u"");
}

uint32_t HandleGetRequest(platform::HttpServer& server, const platform::HttpRequest& request,
                          Providers& providers) {
  ResultCode code = kBadRequest;
  if (!request.query) {
    WriteEvent(u"Request string is empty", std::nullopt, std::monostate{}, EventValueFormat::kText);
  } else if (const std::u16string& query = *request.query; !query.starts_with(kActionPrefix)) {
    WriteEvent(u"Invalid get request", u"expected ?action=", std::u16string_view(query),
               EventValueFormat::kText);
  } else {
    // The word is the whole rest of the query: "version&x=1" is not "version".
    const std::u16string_view action = std::u16string_view(query).substr(kActionPrefix.size());
    if (action == u"checkLs") {
      WriteEvent(u"Get request ok", std::nullopt, std::u16string_view(query),
                 EventValueFormat::kText);
      code = kResultOk;
    } else if (action == u"version") {
      WriteEvent(u"Get request ok", kVersionText, std::u16string_view(query),
                 EventValueFormat::kText);
      code = kReplyVersion;
    } else if (action == u"forget") {
      WriteEvent(u"Get request ok", std::nullopt, std::u16string_view(query),
                 EventValueFormat::kText);
      if (providers.active().Is(kAvestName)) providers.avest().Forget();
      if (providers.active().Is(kEnigmaName)) providers.enigma().Forget();
      code = kResultOk;
    } else {
      WriteEvent(u"Invalid get request", u"invalid get request", std::u16string_view(query),
                 EventValueFormat::kText);
    }
  }
  return SendReply(server, request.id, code, std::nullopt, providers.active().Get());
}

}  // namespace vemo
