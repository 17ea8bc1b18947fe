#include "support/event_catalogue.h"

#include <array>

namespace vemo {
namespace {

struct CatalogueRow {
  int32_t number;
  std::u16string_view message;
  bool has_value;
  EventValueFormat format;
  bool passes_return_message;
};

constexpr auto kText = EventValueFormat::kText;
constexpr auto kDecimal = EventValueFormat::kDecimal;
constexpr auto kHex = EventValueFormat::kHex;

// The blank at the end of "Read bytes " is part of the text.
constexpr std::array<CatalogueRow, 17> kCatalogue = {{
    {2, u"Invalid post request", true, kText, true},
    {4, u"Read bytes ", true, kDecimal, false},
    {8, u"Post request data missing", true, kText, false},
    {16, u"Post request data reading", true, kText, false},
    {18, u"Avest dll load failed", true, kText, false},
    {20, u"AvCmLogin retCode", true, kHex, false},
    {24, u"AvCmSign retCode", true, kHex, false},
    {32, u"Sign failed", false, kText, true},
    {33, u"Request string is empty", false, kText, false},
    {34, u"Invalid get request", true, kText, true},
    {36, u"Get request ok", true, kText, true},
    {40, u"AvCmLogout retCode", true, kHex, false},
    {64, u"Enigma exec retCode", true, kHex, false},
    {72, u"Response status", true, kHex, false},
    {80, u"Enigma2 login retCode", true, kHex, false},
    {82, u"Enigma2 sign retCode", true, kHex, true},
    {84, u"Enigma2 logout retCode", true, kHex, false},
}};

constexpr CatalogueRow kInvalidLog = {0, u"Invalid log", false, kText, false};

const CatalogueRow& FindRow(int32_t number) {
  for (const auto& row : kCatalogue) {
    if (row.number == number) return row;
  }
  return kInvalidLog;
}

}  // namespace

int32_t LogEvent(int32_t number, std::optional<std::u16string_view> return_message,
                 EventValue value) {
  const CatalogueRow& row = FindRow(number);
  // The log's status is not the caller's concern: a lost entry must not change a request.
  WriteEvent(row.message, row.passes_return_message ? return_message : std::nullopt,
             row.has_value ? value : EventValue{}, row.format);
  return 0;
}

}  // namespace vemo
