#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vemo {

// The process narrow code page: the one process-wide choice that governs the conversions of
// wide text into narrow bytes at the program's borders (event log fields, the Enigma paths).
// It starts as kDefault (U+0000..U+00FF become the byte of the same value, nothing else
// converts) and is switched to kCp1251 by StartServer and StartSelectedProvider, never back.
enum class NarrowCodePage { kDefault, kCp1251 };

NarrowCodePage ProcessCodePage();
void SetProcessCodePage(NarrowCodePage page);  // thread-safe

// Windows code page 1251, by our own table. nullopt when the code page has no such character.
std::optional<unsigned char> WideToCp1251(char16_t c);
char16_t Cp1251ToWide(unsigned char byte);

// One character through the given code page; nullopt when it cannot be mapped.
std::optional<unsigned char> NarrowChar(char16_t c, NarrowCodePage page);

// A text field of the event log: converted one character at a time through the process code
// page, stopping at the first character that cannot be mapped.
std::string NarrowField(std::u16string_view text);

// Whole-text conversion through the process code page with a byte limit equal to the number
// of characters: under kDefault the first character above U+00FF ends the text, under kCp1251
// an unmappable character becomes '?'.
std::string NarrowWholeText(std::u16string_view text);

// Narrow to wide through the process code page: each byte becomes its character.
std::u16string WidenText(std::string_view text);

// The token password for the Enigma signer: code page 1251 (the thread's ANSI code page),
// '?' for characters it lacks.
std::string NarrowPassword(std::u16string_view text);

// Letter case ignored for the letters code page 1251 holds (Latin and Cyrillic), as the
// settings file's names and the provider box's prefix search compare them.
char16_t FoldCase(char16_t c);
bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b);
bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix);

// UTF-8 <-> UTF-16 for texts inside the program (file paths, request URLs). Invalid input
// becomes U+FFFD / '?' rather than an error.
std::u16string Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::u16string_view text);

}  // namespace vemo
