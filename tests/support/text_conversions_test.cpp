#include "support/text_conversions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vemo {
namespace {

class TextConversionsTest : public ::testing::Test {
 protected:
  void SetUp() override { SetProcessCodePage(NarrowCodePage::kDefault); }
  void TearDown() override { SetProcessCodePage(NarrowCodePage::kDefault); }
};

TEST_F(TextConversionsTest, Cp1251TableHasTheCodePageCharacters) {
  struct Case {
    char16_t wide;
    int byte;  // -1: not in the code page
  };
  const std::vector<Case> cases = {
      {u'A', 0x41}, {u'\x7F', 0x7F}, {u'А', 0xC0},    {u'Я', 0xDF},    {u'а', 0xE0},
      {u'п', 0xEF}, {u'я', 0xFF},    {u'Ё', 0xA8},    {u'ё', 0xB8},    {u'№', 0xB9},
      {u'Ђ', 0x80}, {u'€', 0x88},    {u'™', 0x99},    {u'џ', 0x9F},    {u'\xA0', 0xA0},
      {u'Ґ', 0xA5}, {u'ї', 0xBF},    {u'—', 0x97},    {u'\x98', -1},   {u'é', -1},
      {u'ä', -1},   {u'中', -1},     {u'\xFFFD', -1}, {u'\xFFFF', -1}, {u'\xD83D', -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.wide));
    const auto byte = WideToCp1251(c.wide);
    if (c.byte < 0) {
      EXPECT_FALSE(byte.has_value());
    } else {
      ASSERT_TRUE(byte.has_value());
      EXPECT_EQ(*byte, c.byte);
      EXPECT_EQ(Cp1251ToWide(static_cast<unsigned char>(c.byte)), c.wide);
    }
  }
}

TEST_F(TextConversionsTest, EveryAssignedByteRoundTripsAndTheUnassignedOneDoesNot) {
  for (int b = 0; b < 256; ++b) {
    SCOPED_TRACE(b);
    const char16_t wide = Cp1251ToWide(static_cast<unsigned char>(b));
    if (b == 0x98) {
      EXPECT_EQ(wide, u'\xFFFD');
      EXPECT_FALSE(WideToCp1251(wide).has_value());
    } else {
      EXPECT_EQ(WideToCp1251(wide), static_cast<unsigned char>(b));
    }
  }
}

TEST_F(TextConversionsTest, NarrowCharFollowsThePage) {
  EXPECT_EQ(NarrowChar(u'\xFF', NarrowCodePage::kDefault), 0xFF);
  EXPECT_FALSE(NarrowChar(u'\x100', NarrowCodePage::kDefault).has_value());
  EXPECT_FALSE(NarrowChar(u'П', NarrowCodePage::kDefault).has_value());
  EXPECT_EQ(NarrowChar(u'П', NarrowCodePage::kCp1251), 0xCF);
  // Latin-1 letters exist under the default page but not in 1251 (no best-fit substitutes).
  EXPECT_EQ(NarrowChar(u'é', NarrowCodePage::kDefault), 0xE9);
  EXPECT_FALSE(NarrowChar(u'é', NarrowCodePage::kCp1251).has_value());
}

TEST_F(TextConversionsTest, ConversionsThroughTheProcessPage) {
  using Convert = std::string (*)(std::u16string_view);
  struct Case {
    const char* name;
    Convert convert;
    NarrowCodePage page;
    std::u16string input;
    std::string expected;
  };
  const auto kDefault = NarrowCodePage::kDefault;
  const auto k1251 = NarrowCodePage::kCp1251;
  const std::vector<Case> cases = {
      // Event log fields stop at the first character that cannot be mapped.
      {"field default Cyrillic", NarrowField, kDefault, u"abc Привет", "abc "},
      {"field default Latin-1", NarrowField, kDefault, u"caf\xE9!", "caf\xE9!"},
      {"field 1251 Cyrillic", NarrowField, k1251, u"ЁжЯ", "\xA8\xE6\xDF"},
      {"field 1251 Chinese", NarrowField, k1251, u"ab中cd", "ab"},
      {"field 1251 accented", NarrowField, k1251, u"xé", "x"},
      {"field stops at zero", NarrowField, k1251, std::u16string(u"a\0b", 3), "a"},
      // Whole texts: cut under the default page, '?' under 1251.
      {"whole default cut", NarrowWholeText, kDefault, u"/home/Иван/x", "/home/"},
      {"whole default Latin-1", NarrowWholeText, kDefault, u"\xFF\xE9", "\xFF\xE9"},
      {"whole 1251 Cyrillic", NarrowWholeText, k1251, u"/tmp/Иван", "/tmp/\xC8\xE2\xE0\xED"},
      {"whole 1251 question", NarrowWholeText, k1251, u"a中b", "a?b"},
      {"whole 1251 pair", NarrowWholeText, k1251, u"a\U0001F600b", "a?b"},
      {"whole 1251 lone surrogate", NarrowWholeText, k1251, u"a\xDC00", "a?"},
      // The password is code page 1251 whatever the process page.
      {"password default page", NarrowPassword, kDefault, u"пароль1",
       "\xEF\xE0\xF0\xEE\xEB\xFC"
       "1"},
      {"password question", NarrowPassword, kDefault, u"pé中", "p??"},
      {"empty", NarrowWholeText, k1251, u"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetProcessCodePage(c.page);
    EXPECT_EQ(c.convert(c.input), c.expected);
  }
}

TEST_F(TextConversionsTest, WidenTextFollowsThePage) {
  EXPECT_EQ(WidenText("a\xC8\xFF"), u"a\xC8\xFF");
  SetProcessCodePage(NarrowCodePage::kCp1251);
  EXPECT_EQ(ProcessCodePage(), NarrowCodePage::kCp1251);
  EXPECT_EQ(WidenText("a\xC8\xFF\xB9"), u"aИя№");
  EXPECT_EQ(WidenText(NarrowWholeText(u"/opt/Токен/")), u"/opt/Токен/");
}

TEST_F(TextConversionsTest, Utf8AndUtf16) {
  struct Case {
    std::string utf8;
    std::u16string wide;
  };
  const std::vector<Case> round_trips = {
      {"", u""},
      {"plain", u"plain"},
      {"Привет №1", u"Привет №1"},
      {"\xE4\xB8\xAD", u"中"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
  };
  for (const auto& c : round_trips) {
    EXPECT_EQ(Utf8ToWide(c.utf8), c.wide);
    EXPECT_EQ(WideToUtf8(c.wide), c.utf8);
  }
  const std::vector<Case> invalid_utf8 = {
      {"a\xFF"
       "b",
       u"a\xFFFD"
       "b"},                          // not a lead byte
      {"a\xD0", u"a\xFFFD"},          // cut sequence
      {"\xC0\xAF", u"\xFFFD\xFFFD"},  // overlong lead
      {"\xED\xA0\x80", u"\xFFFD"},    // encoded surrogate
      {"\xD0x", u"\xFFFDx"},          // missing continuation
  };
  for (const auto& c : invalid_utf8) EXPECT_EQ(Utf8ToWide(c.utf8), c.wide);
  EXPECT_EQ(WideToUtf8(u"a\xD800"
                       "b"),
            "a?b");
}

}  // namespace
}  // namespace vemo

namespace vemo {
namespace {

TEST(CaseFolding, LatinAndCyrillicLettersOnly) {
  EXPECT_TRUE(EqualsIgnoringCase(u"DefaultProvider", u"defaultprovider"));
  EXPECT_TRUE(EqualsIgnoringCase(u"АВЕСТ ЁЖ", u"авест ёж"));
  EXPECT_FALSE(EqualsIgnoringCase(u"Авест", u"Авест2"));
  EXPECT_FALSE(EqualsIgnoringCase(u"е", u"ё"));
  EXPECT_TRUE(StartsWithIgnoringCase(u"Авест", u"ав"));
  EXPECT_TRUE(StartsWithIgnoringCase(u"Авест", u""));
  EXPECT_FALSE(StartsWithIgnoringCase(u"Ав", u"Авест"));
  EXPECT_EQ(FoldCase(u'Ґ'), u'ґ');
  EXPECT_EQ(FoldCase(u'Ä'), u'Ä');  // outside code page 1251's letters: left as it is
}

}  // namespace
}  // namespace vemo
