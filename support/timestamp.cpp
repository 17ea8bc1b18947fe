#include "support/timestamp.h"

#include <cstdio>

namespace vemo {

std::string TimestampPrefix(std::time_t now) {
  std::tm local{};
  ::localtime_r(&now, &local);
  char prefix[64];
  const int length = std::snprintf(
      prefix, sizeof prefix, "[%02d.%02d.%d %02d:%02d:%02d]: ", local.tm_mday, local.tm_mon + 1,
      local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
  return length > 0 ? std::string(prefix, static_cast<size_t>(length)) : std::string();
}

}  // namespace vemo
