#include "support/timestamp.h"

#include <charconv>

namespace vemo {
namespace {

// Two digits, with a leading zero below ten; the fields written this way never exceed 99.
char* TwoDigits(char* out, int value) {
  out[0] = static_cast<char>('0' + value / 10 % 10);
  out[1] = static_cast<char>('0' + value % 10);
  return out + 2;
}

}  // namespace

// Every event log entry begins with this: the digits are written directly rather than through
// the formatted-output machinery, which cost more than the rest of the entry.
std::string TimestampPrefix(std::time_t now) {
  std::tm local{};
  ::localtime_r(&now, &local);
  char prefix[64];
  char* out = prefix;
  *out++ = '[';
  out = TwoDigits(out, local.tm_mday);
  *out++ = '.';
  out = TwoDigits(out, local.tm_mon + 1);
  *out++ = '.';
  out = std::to_chars(out, prefix + 32, local.tm_year + 1900).ptr;  // the year in full
  *out++ = ' ';
  out = TwoDigits(out, local.tm_hour);
  *out++ = ':';
  out = TwoDigits(out, local.tm_min);
  *out++ = ':';
  out = TwoDigits(out, local.tm_sec);
  *out++ = ']';
  *out++ = ':';
  *out++ = ' ';
  return std::string(prefix, out);
}

}  // namespace vemo
