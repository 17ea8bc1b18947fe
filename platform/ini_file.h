#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace vemo::platform {

// A private profile file, stored in code page 1251, with the results of
// GetPrivateProfileStringW and WritePrivateProfileStringW. Sections and keys compare without
// regard to letter case; CR LF or LF line ends are read, CR LF is written.

// The value, or default_value when the file, the section or the key is missing, cut to
// buffer_chars - 1 characters.
std::u16string GetPrivateProfileString(std::u16string_view section, std::u16string_view key,
                                       std::u16string_view default_value, size_t buffer_chars,
                                       const std::filesystem::path& file);

// Sets the key, creating the file and the section when needed; false when it cannot be
// written. The file is replaced atomically.
bool WritePrivateProfileString(std::u16string_view section, std::u16string_view key,
                               std::u16string_view value, const std::filesystem::path& file);

}  // namespace vemo::platform
