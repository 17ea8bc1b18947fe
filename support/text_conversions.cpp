#include "support/text_conversions.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace vemo {
namespace {

std::atomic<NarrowCodePage> process_code_page{NarrowCodePage::kDefault};

// Code page 1251, bytes 0x80..0xBF. 0x98 has no character; kNone marks it. Bytes 0xC0..0xFF
// are U+0410..U+044F in order and need no table.
constexpr char16_t kNone = 0xFFFF;
constexpr std::array<char16_t, 64> kCp1251High = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88..8F
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    kNone,  0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98..9F
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0..A7
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8..AF
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0..B7
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8..BF
};

constexpr bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
constexpr bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

NarrowCodePage ProcessCodePage() { return process_code_page.load(std::memory_order_relaxed); }

void SetProcessCodePage(NarrowCodePage page) {
  process_code_page.store(page, std::memory_order_relaxed);
}

// Only the characters that the code page really has: no best-fit substitutes (accented Latin
// letters do not lose their accents), so everything else counts as unmappable.
std::optional<unsigned char> WideToCp1251(char16_t c) {
  if (c < 0x80) return static_cast<unsigned char>(c);
  if (c >= 0x0410 && c <= 0x044F) return static_cast<unsigned char>(c - 0x0410 + 0xC0);
  if (c == kNone) return std::nullopt;
  for (size_t i = 0; i < kCp1251High.size(); ++i) {
    if (kCp1251High[i] == c) return static_cast<unsigned char>(0x80 + i);
  }
  return std::nullopt;
}

// The unassigned byte 0x98 reads as U+FFFD.
char16_t Cp1251ToWide(unsigned char byte) {
  if (byte < 0x80) return byte;
  if (byte >= 0xC0) return static_cast<char16_t>(0x0410 + (byte - 0xC0));
  const char16_t c = kCp1251High[byte - 0x80];
  return c == kNone ? char16_t{0xFFFD} : c;
}

std::optional<unsigned char> NarrowChar(char16_t c, NarrowCodePage page) {
  if (page == NarrowCodePage::kCp1251) return WideToCp1251(c);
  if (c <= 0xFF) return static_cast<unsigned char>(c);
  return std::nullopt;
}

// The texts below are terminated texts where they meet the outside (log file, C strings for
// the signer), so a U+0000 ends them as a terminator would.
std::string NarrowField(std::u16string_view text) {
  const NarrowCodePage page = ProcessCodePage();
  std::string narrow;
  narrow.reserve(text.size());
  for (char16_t c : text) {
    if (c == 0) break;
    const auto byte = NarrowChar(c, page);
    if (!byte) break;
    narrow.push_back(static_cast<char>(*byte));
  }
  return narrow;
}

namespace {

// Code page 1251 for a whole text: an unmappable character becomes '?'; a surrogate pair is one
// character and gives one '?'.
std::string Cp1251WithDefaultChar(std::u16string_view text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c == 0) break;
    if (const auto byte = WideToCp1251(c)) {
      narrow.push_back(static_cast<char>(*byte));
      continue;
    }
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) ++i;
    narrow.push_back('?');
  }
  return narrow;
}

}  // namespace

std::string NarrowWholeText(std::u16string_view text) {
  if (ProcessCodePage() == NarrowCodePage::kCp1251) return Cp1251WithDefaultChar(text);
  std::string narrow;
  narrow.reserve(text.size());
  for (char16_t c : text) {
    if (c == 0 || c > 0xFF) break;
    narrow.push_back(static_cast<char>(c));
  }
  return narrow;
}

std::u16string WidenText(std::string_view text) {
  const NarrowCodePage page = ProcessCodePage();
  std::u16string wide;
  wide.reserve(text.size());
  for (char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte == 0) break;
    wide.push_back(page == NarrowCodePage::kCp1251 ? Cp1251ToWide(byte) : char16_t{byte});
  }
  return wide;
}

std::string NarrowPassword(std::u16string_view text) { return Cp1251WithDefaultChar(text); }

std::u16string Utf8ToWide(std::string_view text) {
  std::u16string wide;
  wide.reserve(text.size());
  const auto byte_at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = byte_at(i);
    if (lead < 0x80) {
      wide.push_back(lead);
      ++i;
      continue;
    }
    size_t length = 0;
    char32_t code = 0;
    char32_t min = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2, code = lead & 0x1F, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3, code = lead & 0x0F, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4, code = lead & 0x07, min = 0x10000;
    }
    // A broken sequence gives one U+FFFD for its lead byte and the continuation bytes that
    // fitted so far.
    size_t taken = 1;
    bool valid = length != 0;
    while (valid && taken < length) {
      if (i + taken >= text.size() || (byte_at(i + taken) & 0xC0) != 0x80) {
        valid = false;
        break;
      }
      code = (code << 6) | (byte_at(i + taken) & 0x3F);
      ++taken;
    }
    if (valid && (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) {
      valid = false;
    }
    if (!valid) {
      wide.push_back(0xFFFD);
      i += taken;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      wide.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      wide.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      wide.push_back(static_cast<char16_t>(code));
    }
    i += taken;
  }
  return wide;
}

std::string WideToUtf8(std::u16string_view text) {
  std::string utf8;
  utf8.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t code = text[i];
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
      utf8.push_back('?');
      continue;
    }
    if (code < 0x80) {
      utf8.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      utf8.push_back(static_cast<char>(0xC0 | (code >> 6)));
      utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      utf8.push_back(static_cast<char>(0xE0 | (code >> 12)));
      utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      utf8.push_back(static_cast<char>(0xF0 | (code >> 18)));
      utf8.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
  return utf8;
}

char16_t FoldCase(char16_t c) {
  if (c >= u'A' && c <= u'Z') return c + (u'a' - u'A');
  if (c >= u'\u0410' && c <= u'\u042F') return c + 0x20;  // А..Я
  if (c >= u'\u0400' && c <= u'\u040F') return c + 0x50;  // Ѐ..Џ, with Ё, Ђ, Є, І, Ї, Ў
  if (c == u'\u0490') return u'\u0491';                   // Ґ
  return c;
}

bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix) {
  if (prefix.size() > text.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (FoldCase(text[i]) != FoldCase(prefix[i])) return false;
  }
  return true;
}

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && StartsWithIgnoringCase(a, b);
}

}  // namespace vemo
