// Base64Decode on any text: it agrees with the portable decoder and with a plain
// character-by-character decoder written from the documented rules, and never reads outside the
// text (the input is an exact-size heap copy, so AddressSanitizer sees the first byte past it).
// Base64Encode of any bytes decodes back to them, in the standard and the URL-safe alphabet.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "support/base64.h"

namespace {

using Decoder = std::string (*)(std::string_view);

constexpr char kInvalidText[] = "Input is not valid base64-encoded data.";

void Fail(const char* what) {
  std::fprintf(stderr, "base64_fuzz: %s\n", what);
  std::abort();
}

int Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+' || c == '-') return 62;
  if (c == '/' || c == '_') return 63;
  return -1;
}

bool IsTerminator(char c) { return c == '=' || c == '.'; }

// Groups of four: the first two characters must be values; a terminator or the end of the
// text at the third or fourth ends the group early; anything else invalid throws.
std::optional<std::string> ReferenceDecode(std::string_view text) {
  std::string out;
  const size_t n = text.size();
  for (size_t p = 0; p < n; p += 4) {
    if (p + 1 >= n) return std::nullopt;
    const int s0 = Value(text[p]);
    const int s1 = Value(text[p + 1]);
    if (s0 < 0 || s1 < 0) return std::nullopt;
    out.push_back(static_cast<char>((s0 << 2) | (s1 >> 4)));
    if (p + 2 >= n || IsTerminator(text[p + 2])) continue;
    const int s2 = Value(text[p + 2]);
    if (s2 < 0) return std::nullopt;
    out.push_back(static_cast<char>(((s1 & 15) << 4) | (s2 >> 2)));
    if (p + 3 >= n || IsTerminator(text[p + 3])) continue;
    const int s3 = Value(text[p + 3]);
    if (s3 < 0) return std::nullopt;
    out.push_back(static_cast<char>(((s2 & 3) << 6) | s3));
  }
  return out;
}

std::optional<std::string> DecodeOrNothing(Decoder decode, std::string_view text) {
  try {
    return decode(text);
  } catch (const std::runtime_error& error) {
    if (std::strcmp(error.what(), kInvalidText) != 0) Fail("unexpected error text");
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const auto fast = DecodeOrNothing(vemo::Base64Decode, text);
  const auto portable = DecodeOrNothing(vemo::Base64DecodePortable, text);
  if (fast != portable) Fail("Base64Decode and Base64DecodePortable disagree");
  if (fast != ReferenceDecode(text)) Fail("Base64Decode disagrees with the reference");
  if (fast && fast->size() > size / 4 * 3 + 2) Fail("decoded more bytes than the text holds");

  // The same input as bytes to encode.
  const std::string encoded = vemo::Base64Encode(data, size);
  if (encoded.size() != (size + 2) / 3 * 4) Fail("encoded length");
  if (vemo::Base64Decode(encoded) != text) Fail("decode(encode(x)) != x");
  if (vemo::Base64DecodePortable(encoded) != text) Fail("portable decode(encode(x)) != x");
  std::string url_safe;
  for (char c : encoded) {
    if (c == '=') continue;
    url_safe.push_back(c == '+' ? '-' : c == '/' ? '_' : c);
  }
  if (vemo::Base64Decode(url_safe) != text) Fail("URL-safe text without padding");
  return 0;
}
