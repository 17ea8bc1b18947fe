#include "support/base64.h"

#include <array>
#include <cstdint>
#include <stdexcept>

namespace vemo {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kInvalidText[] = "Input is not valid base64-encoded data.";

// kInvalid is above every 24-bit group, so OR-ing the four shifted values of a group and
// comparing once tells whether all four characters were valid.
constexpr uint32_t kInvalid = 0x01000000;

constexpr uint32_t CharValue(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+' || c == '-') return 62;
  if (c == '/' || c == '_') return 63;
  return kInvalid;  // also "=", ".", blanks, CR, LF, zero and every byte above 127
}

// One table per position in the group, holding the value already shifted into place.
struct DecodeTables {
  std::array<uint32_t, 256> at[4];
};

constexpr DecodeTables MakeDecodeTables() {
  DecodeTables tables{};
  for (int c = 0; c < 256; ++c) {
    const uint32_t value = CharValue(static_cast<unsigned char>(c));
    for (int position = 0; position < 4; ++position) {
      tables.at[position][c] = value == kInvalid ? kInvalid : value << (18 - 6 * position);
    }
  }
  return tables;
}

constexpr DecodeTables kDecode = MakeDecodeTables();

[[noreturn]] void ThrowInvalid() { throw std::runtime_error(kInvalidText); }

bool IsTerminator(char c) { return c == '=' || c == '.'; }

uint32_t ValueOrThrow(char c) {
  const uint32_t value = kDecode.at[3][static_cast<unsigned char>(c)];
  if (value == kInvalid) ThrowInvalid();
  return value;
}

// The group at p by the exact rules: short groups, terminators, errors. Returns the bytes
// written to out.
size_t DecodeGroupSlowly(std::string_view text, size_t p, char* out) {
  const size_t n = text.size();
  if (p + 1 >= n) ThrowInvalid();  // a group of one character
  const uint32_t s1 = ValueOrThrow(text[p + 1]);
  const uint32_t s0 = ValueOrThrow(text[p]);
  out[0] = static_cast<char>((s0 << 2) + ((s1 >> 4) & 3));
  if (p + 2 >= n || IsTerminator(text[p + 2])) return 1;
  const uint32_t s2 = ValueOrThrow(text[p + 2]);
  out[1] = static_cast<char>((s1 << 4) ^ ((s2 >> 2) & 15));
  if (p + 3 >= n || IsTerminator(text[p + 3])) return 2;
  const uint32_t s3 = ValueOrThrow(text[p + 3]);
  out[2] = static_cast<char>((s2 << 6) + s3);
  return 3;
}

}  // namespace

std::string Base64Encode(const void* bytes, size_t length) {
  const size_t groups = length / 3 + (length % 3 != 0);
  std::string text;
  if (groups == 0) return text;
  if (groups > text.max_size() / 4) throw std::length_error("Base64Encode: input too long");
  text.resize(groups * 4);

  const auto* in = static_cast<const unsigned char*>(bytes);
  char* out = text.data();
  const size_t whole = length / 3;
  for (size_t g = 0; g < whole; ++g, in += 3, out += 4) {
    const uint32_t bits = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    out[0] = kAlphabet[bits >> 18];
    out[1] = kAlphabet[(bits >> 12) & 63];
    out[2] = kAlphabet[(bits >> 6) & 63];
    out[3] = kAlphabet[bits & 63];
  }
  switch (length % 3) {
    case 1:
      out[0] = kAlphabet[in[0] >> 2];
      out[1] = kAlphabet[(in[0] & 3) << 4];
      out[2] = '=';
      out[3] = '=';
      break;
    case 2:
      out[0] = kAlphabet[in[0] >> 2];
      out[1] = kAlphabet[((in[0] & 3) << 4) | (in[1] >> 4)];
      out[2] = kAlphabet[(in[1] & 15) << 2];
      out[3] = '=';
      break;
    default:
      break;
  }
  return text;
}

std::string Base64Decode(std::string_view text) {
  const size_t n = text.size();
  std::string bytes;
  if (n == 0) return bytes;
  // Whole groups give three bytes, a final short group at most two: one allocation, shrunk
  // (without reallocating) to what was written.
  bytes.resize(n / 4 * 3 + (n % 4 != 0 ? 2 : 0));

  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  char* const begin = bytes.data();
  char* out = begin;
  size_t p = 0;
  while (p < n) {
    // Whole groups of four valid characters: no terminator can be among them, since "=" and
    // "." are invalid as values.
    while (p + 4 <= n) {
      const uint32_t bits = kDecode.at[0][in[p]] | kDecode.at[1][in[p + 1]] |
                            kDecode.at[2][in[p + 2]] | kDecode.at[3][in[p + 3]];
      if (bits >= kInvalid) break;
      out[0] = static_cast<char>(bits >> 16);
      out[1] = static_cast<char>(bits >> 8);
      out[2] = static_cast<char>(bits);
      out += 3;
      p += 4;
    }
    if (p >= n) break;
    out += DecodeGroupSlowly(text, p, out);
    p += 4;
  }
  bytes.resize(static_cast<size_t>(out - begin));
  return bytes;
}

}  // namespace vemo
