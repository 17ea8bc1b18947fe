#pragma once

#include <boost/beast/http/message.hpp>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/http_server.h"

namespace vemo::platform {

// The API's request and reply records in HTTP/1.1 terms. Plain functions; any thread.

struct RequestRecord {
  HttpRequest request;  // without the id and the body flag, which the connection knows
  // The room the API's record and its texts take in the caller's receive buffer.
  uint32_t needed_size = 0;
};

// host is the Host header, or what stands for it when the client sent none.
RequestRecord BuildRequestRecord(const boost::beast::http::request_header<>& header,
                                 std::string_view host);

// Whether the reply can go out as given: header names are tokens and no text breaks a line.
bool IsWritableResponse(const HttpResponse& response);

// The status line and the headers, ending with the empty line.
std::string FormatResponseHead(const HttpResponse& response, bool close_after);

}  // namespace vemo::platform
