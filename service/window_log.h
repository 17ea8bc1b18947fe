#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace vemo {

// A window log line: the event log's timestamp prefix (local time), then the text.
std::u16string TimestampedLine(std::u16string_view text, std::time_t now = std::time(nullptr));

}  // namespace vemo
