#include "service/window_log.h"

#include <cstdio>

#include "support/text_conversions.h"

namespace vemo {

std::u16string TimestampedLine(std::u16string_view text, std::time_t now) {
  std::tm local{};
  localtime_r(&now, &local);
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "[%02d.%02d.%d %02d:%02d:%02d]: ", local.tm_mday,
                local.tm_mon + 1, local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
  return Utf8ToWide(prefix) + std::u16string(text);
}

}  // namespace vemo
