#pragma once

#include <cstdint>
#include <string_view>

#include "platform/http_server.h"
#include "providers/provider_start.h"
#include "support/result_code.h"

namespace vemo {

// The request handlers of the request loop. Each sends zero or one reply and returns 0 when
// the reply was sent, or a nonzero error number (the send's, the body receive's, or 8 for
// memory) that the loop writes to the event log. Request loop thread only.
uint32_t AnswerPreflight(platform::HttpServer& server, const platform::HttpRequest& request);
uint32_t HandleGetRequest(platform::HttpServer& server, const platform::HttpRequest& request,
                          Providers& providers);
uint32_t HandlePostRequest(platform::HttpServer& server, const platform::HttpRequest& request,
                           Providers& providers);

// Decodes the body and signs it with the provider in force. On 0 the buffer begins with the
// signature text and *length holds its length (at most kSignatureBufferSize - 1).
ResultCode SignDocument(Providers& providers, char* signature, int32_t* length,
                        std::string_view body);

// Builds the reply for the code, fills the response and sends it.
uint32_t SendReply(platform::HttpServer& server, platform::RequestId id, ResultCode code,
                   std::optional<std::string_view> payload, std::u16string_view active_provider);

// Without a Content-Length the body may take this much; it is also the most a declared
// Content-Length may ask for.
inline constexpr uint64_t kDefaultBodySize = 20 * 1024 * 1024;
inline constexpr uint64_t kMaxBodySize = 64 * 1024 * 1024;

}  // namespace vemo
