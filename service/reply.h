#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/http_server.h"
#include "support/result_code.h"

namespace vemo {

inline constexpr std::u16string_view kVersionText = u"2.3.2";

// The "error" text of a failure code and whether the reply also carries "errorCode":222.
struct CatalogueEntry {
  std::string_view text;  // UTF-8
  bool with_error_code;
};

// Service and Enigma codes by exact value, then the Avest range (its unlisted codes give
// "Неописанная ошибка Авест"); nullopt for every other code.
std::optional<CatalogueEntry> LookupErrorText(ResultCode code);

// Cyrillic letters, digits and the blank into Latin; every other character is dropped.
std::string TransliterateToLatin(std::u16string_view text);

// The compact JSON body for the code. payload is the signature text of code 2; active_provider
// gives "tokenId". A reply of any length is returned whole.
std::string BuildReplyBody(ResultCode code, std::optional<std::string_view> payload,
                           std::u16string_view active_provider);

// Status 200 "OK", the two predefined headers, the four cross-origin headers and the text as
// the body (referenced, not copied).
void PrepareResponse(platform::HttpResponse* response, std::string_view text);

}  // namespace vemo
