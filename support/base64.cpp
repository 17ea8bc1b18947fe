#include "support/base64.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VEMO_BASE64_AVX2 1
#endif

namespace vemo {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kInvalidText[] = "Input is not valid base64-encoded data.";

// Two alphabet characters for every 12-bit value, so a group of three bytes takes two lookups.
struct EncodePairs {
  std::array<char, 2> at[4096];
};

constexpr EncodePairs MakeEncodePairs() {
  EncodePairs pairs{};
  for (int v = 0; v < 4096; ++v) pairs.at[v] = {kAlphabet[v >> 6], kAlphabet[v & 63]};
  return pairs;
}

constexpr EncodePairs kPairs = MakeEncodePairs();

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

#ifdef VEMO_BASE64_AVX2

// Shuffles look up within each 128-bit half: every table stands in both halves.
__attribute__((target("avx2"))) inline __m256i BothHalves(__m128i table) {
  return _mm256_broadcastsi128_si256(table);
}

// 32 characters (eight whole groups) at a time while all of them are valid, giving 24 bytes.
// Stops at the first block holding anything else ("=", ".", invalid bytes) and leaves that
// block to the exact scalar rules. Each store writes 32 bytes, so it needs that much room.
//
// Validity by nibbles: invalid_by_low[lo] holds a bit for every class of high nibble under
// which that low nibble is not a Base64 character; class_of_high[hi] is the class bit.
// Classes: 0x01 high 2, 0x02 high 3, 0x04 high 4 and 6, 0x08 high 5, 0x10 high 7,
// 0x20 every other high nibble (nothing valid there).
// Values: value = c + shift[hi + shift_slot[lo]], where the slot moves the characters that
// share a high nibble with others but need another shift ("-", "/", "_", "M", "O", "m", "o")
// to slots of their own; the shuffle uses the low four bits of the index only.
__attribute__((target("avx2"))) void DecodeBlocksAvx2(const unsigned char* in, size_t n, size_t& p,
                                                      char*& out, const char* out_end) {
  const __m256i invalid_by_low =
      BothHalves(_mm_setr_epi8(0x25, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x23,
                               0x3A, 0x3B, 0x3A, 0x3B, 0x32));
  const __m256i class_of_high =
      BothHalves(_mm_setr_epi8(0x20, 0x20, 0x01, 0x02, 0x04, 0x08, 0x04, 0x10, 0x20, 0x20, 0x20,
                               0x20, 0x20, 0x20, 0x20, 0x20));
  const __m256i shift_slot =
      BothHalves(_mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 8, 0, 11));
  const __m256i shift = BothHalves(
      _mm_setr_epi8(-32, -71, 19, 4, -65, -65, -71, -71, 0, 0, 17, 0, -65, 16, -71, -65));
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const __m256i group_bytes =
      _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                       2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
  while (n - p >= 32 && out_end - out >= 32) {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + p));
    const __m256i high = _mm256_and_si256(_mm256_srli_epi32(c, 4), nibble);
    const __m256i low = _mm256_and_si256(c, nibble);
    if (!_mm256_testz_si256(_mm256_shuffle_epi8(invalid_by_low, low),
                            _mm256_shuffle_epi8(class_of_high, high))) {
      return;
    }
    const __m256i slot = _mm256_add_epi8(high, _mm256_shuffle_epi8(shift_slot, low));
    const __m256i values = _mm256_add_epi8(c, _mm256_shuffle_epi8(shift, slot));

    // Pairs of 6-bit values into 12 bits, pairs of those into the 24-bit group, then the
    // three bytes of each group in order, packed to the front.
    const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
    const __m256i groups = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    const __m256i bytes =
        _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(groups, group_bytes), lanes);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
    out += 24;
    p += 32;
  }
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

#endif

// use_vector: the AVX2 blocks where the processor has them; off for the portable path.
std::string Decode(std::string_view text, bool use_vector) {
  const size_t n = text.size();
  std::string bytes;
  if (n == 0) return bytes;
  // Whole groups give three bytes, a final short group at most two: one allocation, shrunk
  // (without reallocating) to what was written.
  bytes.resize(n / 4 * 3 + (n % 4 != 0 ? 2 : 0));

  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  char* const begin = bytes.data();
  const char* const end = begin + bytes.size();
  char* out = begin;
  size_t p = 0;
  while (p < n) {
    size_t stop = n;
#ifdef VEMO_BASE64_AVX2
    if (use_vector) {
      DecodeBlocksAvx2(in, n, p, out, end);
      if (p >= n) break;
      // The scalar loop takes over up to the end of the block the vector loop stopped at.
      stop = std::min(n, p + 32);
    }
#else
    (void)use_vector;
    (void)end;
#endif
    // Whole groups of four valid characters: no terminator can be among them, since "=" and
    // "." are invalid as values.
    while (p + 4 <= stop) {
      const uint32_t bits = kDecode.at[0][in[p]] | kDecode.at[1][in[p + 1]] |
                            kDecode.at[2][in[p + 2]] | kDecode.at[3][in[p + 3]];
      if (bits >= kInvalid) break;
      out[0] = static_cast<char>(bits >> 16);
      out[1] = static_cast<char>(bits >> 8);
      out[2] = static_cast<char>(bits);
      out += 3;
      p += 4;
    }
    // A group that is short, terminated or invalid.
    if (p < stop) {
      out += DecodeGroupSlowly(text, p, out);
      p += 4;
    }
  }
  bytes.resize(static_cast<size_t>(out - begin));
  return bytes;
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
  size_t g = 0;
  for (; g + 2 <= whole; g += 2, in += 6, out += 8) {
    const uint32_t first = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    const uint32_t second = (uint32_t{in[3]} << 16) | (uint32_t{in[4]} << 8) | in[5];
    std::memcpy(out, kPairs.at[first >> 12].data(), 2);
    std::memcpy(out + 2, kPairs.at[first & 0xFFF].data(), 2);
    std::memcpy(out + 4, kPairs.at[second >> 12].data(), 2);
    std::memcpy(out + 6, kPairs.at[second & 0xFFF].data(), 2);
  }
  if (g < whole) {
    const uint32_t bits = (uint32_t{in[0]} << 16) | (uint32_t{in[1]} << 8) | in[2];
    std::memcpy(out, kPairs.at[bits >> 12].data(), 2);
    std::memcpy(out + 2, kPairs.at[bits & 0xFFF].data(), 2);
    in += 3;
    out += 4;
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
#ifdef VEMO_BASE64_AVX2
  return Decode(text, HasAvx2());
#else
  return Decode(text, false);
#endif
}

std::string Base64DecodePortable(std::string_view text) { return Decode(text, false); }

}  // namespace vemo
