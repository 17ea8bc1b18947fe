#include "support/base64.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace vemo {
namespace {

using namespace std::string_literals;

constexpr char kErrorText[] = "Input is not valid base64-encoded data.";

// Decoding written the plain way, character by character, to check the fast decoder against.
std::optional<std::string> ReferenceDecode(const std::string& text) {
  const auto value = [](char c) -> int {
    static const std::string standard =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (c == '-') return 62;
    if (c == '_') return 63;
    const size_t at = standard.find(c);
    return c != '\0' && at != std::string::npos ? static_cast<int>(at) : -1;
  };
  const auto terminator = [](char c) { return c == '=' || c == '.'; };
  std::string out;
  const size_t n = text.size();
  for (size_t p = 0; p < n; p += 4) {
    if (p + 1 >= n) return std::nullopt;
    const int s1 = value(text[p + 1]);
    const int s0 = value(text[p]);
    if (s0 < 0 || s1 < 0) return std::nullopt;
    out.push_back(static_cast<char>((s0 << 2) + ((s1 >> 4) & 3)));
    if (p + 2 < n && !terminator(text[p + 2])) {
      const int s2 = value(text[p + 2]);
      if (s2 < 0) return std::nullopt;
      out.push_back(static_cast<char>((s1 << 4) ^ ((s2 >> 2) & 15)));
      if (p + 3 < n && !terminator(text[p + 3])) {
        const int s3 = value(text[p + 3]);
        if (s3 < 0) return std::nullopt;
        out.push_back(static_cast<char>((s2 << 6) + s3));
      }
    }
  }
  return out;
}

using Decoder = std::string (*)(std::string_view);

std::optional<std::string> DecodeOrNothing(const std::string& text, Decoder decode = Base64Decode) {
  try {
    return decode(text);
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), kErrorText);
    return std::nullopt;
  }
}

TEST(Base64Test, Encode) {
  struct Case {
    std::string bytes;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"foobar", "Zm9vYmFy"},
      {"\0"s, "AA=="},
      {"\0\0\0"s, "AAAA"},
      {"\xFB\xEF\xBE", "++++"},  // value 62 is "+", never "-"
      {"\xFF\xFF\xFF", "////"},  // value 63 is "/", never "_"
      {"\xFB\xFF", "+/8="},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Base64Encode(c.bytes), c.text);
    EXPECT_EQ(Base64Encode(c.bytes.data(), c.bytes.size()), c.text);
  }
  EXPECT_EQ(Base64Encode(nullptr, 0), "");
}

TEST(Base64Test, LongEncodingHasNoLineBreaksAndExactSize) {
  for (size_t length : {57u, 76u, 1000u, 100'001u}) {
    const std::string bytes(length, '\x5A');
    const std::string text = Base64Encode(bytes);
    EXPECT_EQ(text.size(), (length + 2) / 3 * 4);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    EXPECT_EQ(Base64Decode(text), bytes);
  }
}

TEST(Base64Test, DecodeAccepts) {
  struct Case {
    std::string text;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"", ""},
      {"Zm9v", "foo"},
      {"Zm9vYmFy", "foobar"},
      // Final groups of two and three characters, padded or not, "=" or ".".
      {"Zg==", "f"},
      {"Zg", "f"},
      {"Zg=", "f"},
      {"Zg..", "f"},
      {"Zm8=", "fo"},
      {"Zm8", "fo"},
      {"Zm8.", "fo"},
      // A terminator in the third position ends the group; the fourth is not looked at.
      {"Zg=A", "f"},
      {"Zg=*", "f"},
      {"Zg=\n", "f"},
      {"Zg.\x80", "f"},
      {"Zg=\0"s, "f"},
      // Padded groups in the middle.
      {"Zg==Zg==", "ff"},
      {"Zm8=Zg", "fof"},
      {"Zg.AZm9v", "ffoo"},
      // URL-safe characters, also mixed with the standard ones.
      {"-_-_", "\xFB\xFF\xBF"},
      {"+/+/", "\xFB\xFF\xBF"},
      {"+_-/", "\xFB\xFF\xBF"},
      // Unused low bits of a short group are ignored.
      {"Zh==", "f"},
      {"Zm9=", "fo"},
      {"AA==", "\0"s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DecodeOrNothing(c.text), c.bytes);
  }
}

TEST(Base64Test, DecodeRejects) {
  const std::vector<std::string> cases = {
      "Z",          // one character
      "Zm9vZ",      // last group of one character
      "Zm9v\r\n",   // a text ending in CR LF
      "Zm9v\n",     //
      "Zg==\r\n",   //
      " Zm9v",      // blank
      "Zm 9v",      //
      "Zm9v Zg==",  //
      "Zm8\n",      // LF in the fourth position is examined
      "=Zg=",       // terminators in the first or second position
      "Z=g=",       //
      ".AAA",       //
      "A.AA",       //
      "====",       //
      "Zm\x80v",    // bytes above 127
      "\xC3\xA9"
      "AA",        //
      "Zm9v\xFF",  //
      "Zm\0v"s,    // zero byte
      "Zm9*",      // not in either alphabet
  };
  for (const auto& text : cases) {
    SCOPED_TRACE(text);
    try {
      Base64Decode(text);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), kErrorText);
    }
  }
}

TEST(Base64Test, RandomRoundTrip) {
  std::mt19937 random(20240307);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<size_t> length(0, 300);
  for (int i = 0; i < 2000; ++i) {
    std::string bytes(length(random), '\0');
    for (char& b : bytes) b = static_cast<char>(byte(random));
    const std::string text = Base64Encode(bytes);
    ASSERT_EQ(Base64Decode(text), bytes);
    // The URL-safe alphabet and missing padding decode the same.
    std::string url_safe;
    for (char c : text) {
      if (c == '=') continue;
      url_safe.push_back(c == '+' ? '-' : c == '/' ? '_' : c);
    }
    ASSERT_EQ(Base64Decode(url_safe), bytes);
  }
}

TEST(Base64Test, FastDecodersMatchReference) {
  std::mt19937 random(7032024);
  const std::string valid = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/-_";
  const std::string special = "=.\r\n \t*@[`{\0\x7F\x80\xFF~"s;
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  size_t decoded = 0;
  size_t thrown = 0;
  for (int i = 0; i < 30000; ++i) {
    // From clean texts to texts full of terminators and invalid bytes; short texts, texts
    // around the 32-character blocks of the vector path, and long ones.
    const double special_share = std::vector<double>{0.0, 0.001, 0.01, 0.05, 0.3}[i % 5];
    const size_t length = i % 50 == 0  ? 4000 + i % 7
                          : i % 2 == 0 ? static_cast<size_t>(unit(random) * 40)
                                       : 32 + static_cast<size_t>(unit(random) * 200);
    std::string text(length, 'A');
    for (char& c : text) {
      c = unit(random) < special_share ? special[random() % special.size()]
                                       : valid[random() % valid.size()];
    }
    const auto expected = ReferenceDecode(text);
    ASSERT_EQ(DecodeOrNothing(text), expected) << testing::PrintToString(text);
    ASSERT_EQ(DecodeOrNothing(text, Base64DecodePortable), expected)
        << testing::PrintToString(text);
    ++(expected ? decoded : thrown);
  }
  // Both outcomes must have been exercised for the comparison to mean anything.
  EXPECT_GT(decoded, 5000u);
  EXPECT_GT(thrown, 5000u);
}

}  // namespace
}  // namespace vemo
