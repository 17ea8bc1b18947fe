#include "service/window_log.h"

#include "support/text_conversions.h"
#include "support/timestamp.h"

namespace vemo {

std::u16string TimestampedLine(std::u16string_view text, std::time_t now) {
  return Utf8ToWide(TimestampPrefix(now)) + std::u16string(text);
}

}  // namespace vemo
