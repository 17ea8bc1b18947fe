// The code-page conversions both ways on any text. The input is read twice: as narrow bytes in
// code page 1251 and as UTF-16 (two bytes a unit, low byte first). What code page 1251 can
// represent comes back unchanged through the narrow form; what it cannot becomes "?" (whole
// texts) or ends the text (event log fields), as documented. UTF-8 and UTF-16 round-trip where
// the text is well formed.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "support/text_conversions.h"

namespace {

using vemo::NarrowCodePage;

void Fail(const char* what) {
  std::fprintf(stderr, "code_pages_fuzz: %s\n", what);
  std::abort();
}

void Check(bool holds, const char* what) {
  if (!holds) Fail(what);
}

bool IsSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }
bool IsHigh(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

std::string_view UpToNul(std::string_view text) { return text.substr(0, text.find('\0')); }
std::u16string_view UpToNul(std::u16string_view text) {
  return text.substr(0, text.find(char16_t{0}));
}

void NarrowBytes(std::string_view input) {
  const std::string_view bytes = UpToNul(input);
  vemo::SetProcessCodePage(NarrowCodePage::kCp1251);
  const std::u16string wide = vemo::WidenText(input);
  Check(wide.size() == bytes.size(), "WidenText stops at the first NUL only");
  std::string whole;  // the unassigned byte 0x98 reads as U+FFFD, which goes back as "?"
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    Check(wide[i] == vemo::Cp1251ToWide(byte), "WidenText follows the table");
    const auto back = vemo::WideToCp1251(wide[i]);
    Check(byte == 0x98 ? !back : back == byte, "byte -> wide -> byte");
    whole.push_back(byte == 0x98 ? '?' : static_cast<char>(byte));
  }
  Check(vemo::NarrowWholeText(wide) == whole, "NarrowWholeText(WidenText(x))");
  Check(vemo::NarrowPassword(wide) == whole, "NarrowPassword(WidenText(x))");
  Check(vemo::NarrowField(wide) == bytes.substr(0, bytes.find('\x98')),
        "NarrowField(WidenText(x)) stops at the first character it cannot map");

  // The default page: bytes are the characters U+0000..U+00FF.
  vemo::SetProcessCodePage(NarrowCodePage::kDefault);
  const std::u16string latin = vemo::WidenText(input);
  Check(latin.size() == bytes.size(), "default WidenText length");
  Check(vemo::NarrowWholeText(latin) == bytes, "default page round trip");
  Check(vemo::NarrowField(latin) == bytes, "default page field round trip");

  // UTF-8 read as UTF-16 and back is the same text where it was well formed; anything else
  // left a U+FFFD behind.
  const std::u16string from_utf8 = vemo::Utf8ToWide(input);
  Check(from_utf8.size() <= input.size(), "UTF-8 gives at most one unit a byte");
  for (size_t i = 0; i < from_utf8.size(); ++i) {
    if (IsHigh(from_utf8[i])) {
      Check(i + 1 < from_utf8.size() && IsLow(from_utf8[i + 1]), "paired surrogates");
      ++i;
    } else {
      Check(!IsLow(from_utf8[i]), "no lone low surrogate from UTF-8");
    }
  }
  if (vemo::WideToUtf8(from_utf8) != input) {
    Check(from_utf8.find(char16_t{0xFFFD}) != std::u16string::npos,
          "a UTF-8 text that does not come back has an invalid sequence");
  }
}

void WideUnits(const uint8_t* data, size_t size) {
  std::u16string input;
  for (size_t i = 0; i + 1 < size; i += 2) {
    input.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  const std::u16string_view text = UpToNul(input);

  // Code page 1251 for whole texts: each character that has a byte keeps it, every other one
  // (a surrogate pair counting as one character) becomes one "?".
  vemo::SetProcessCodePage(NarrowCodePage::kCp1251);
  std::string expected;
  std::u16string representable;  // the text with "?" for what the page lacks
  for (size_t i = 0; i < text.size(); ++i) {
    if (const auto byte = vemo::WideToCp1251(text[i])) {
      Check(vemo::Cp1251ToWide(*byte) == text[i], "wide -> byte -> wide");
      expected.push_back(static_cast<char>(*byte));
      representable.push_back(text[i]);
      continue;
    }
    if (IsHigh(text[i]) && i + 1 < text.size() && IsLow(text[i + 1])) ++i;
    expected.push_back('?');
    representable.push_back(u'?');
  }
  const std::string narrow = vemo::NarrowWholeText(input);
  Check(narrow == expected, "NarrowWholeText under code page 1251");
  Check(vemo::NarrowPassword(input) == expected, "NarrowPassword");
  Check(vemo::WidenText(narrow) == representable, "WidenText(NarrowWholeText(x))");
  // An event log field ends at the first character the page lacks.
  size_t mappable = 0;
  while (mappable < text.size() && vemo::WideToCp1251(text[mappable])) ++mappable;
  Check(vemo::NarrowField(input) == expected.substr(0, mappable), "NarrowField");

  // The default page keeps U+0001..U+00FF and stops at anything above.
  vemo::SetProcessCodePage(NarrowCodePage::kDefault);
  size_t latin = 0;
  while (latin < text.size() && text[latin] <= 0xFF) ++latin;
  const std::string default_narrow = vemo::NarrowWholeText(input);
  Check(default_narrow.size() == latin, "default NarrowWholeText stops above U+00FF");
  Check(vemo::WidenText(default_narrow) == text.substr(0, latin), "default page round trip");

  // UTF-16 -> UTF-8 -> UTF-16: the same units, a lone surrogate becoming "?".
  std::u16string well_formed;
  for (size_t i = 0; i < input.size(); ++i) {
    if (IsHigh(input[i]) && i + 1 < input.size() && IsLow(input[i + 1])) {
      well_formed.push_back(input[i]);
      well_formed.push_back(input[++i]);
    } else {
      well_formed.push_back(IsSurrogate(input[i]) ? u'?' : input[i]);
    }
  }
  Check(vemo::Utf8ToWide(vemo::WideToUtf8(input)) == well_formed, "UTF-16 -> UTF-8 -> UTF-16");

  // Letter case: folding is idempotent and a text equals itself in any case mix.
  std::u16string folded;
  for (char16_t c : input) {
    folded.push_back(vemo::FoldCase(c));
    Check(vemo::FoldCase(vemo::FoldCase(c)) == vemo::FoldCase(c), "FoldCase is idempotent");
  }
  Check(vemo::EqualsIgnoringCase(input, folded), "a text equals its folded form");
  Check(vemo::StartsWithIgnoringCase(input, std::u16string_view(folded).substr(0, size / 4)),
        "a text starts with its folded prefix");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  NarrowBytes(std::string_view(reinterpret_cast<const char*>(data), size));
  WideUnits(data, size);
  return 0;
}
