#pragma once

#include <ctime>
#include <string>

namespace vemo {

// "[dd.mm.yyyy hh:mm:ss]: " in local time, the year in full: the prefix of event log entries
// and of the window's log lines. Any thread may call it.
std::string TimestampPrefix(std::time_t now = std::time(nullptr));

}  // namespace vemo
