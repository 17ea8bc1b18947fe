#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace vemo {

// A window log line: "[dd.mm.yyyy hh:mm:ss]: " in local time, then the text.
std::u16string TimestampedLine(std::u16string_view text, std::time_t now = std::time(nullptr));

}  // namespace vemo
