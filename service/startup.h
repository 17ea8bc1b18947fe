#pragma once

#include <filesystem>
#include <string>

namespace vemo {

inline constexpr std::u16string_view kSettingsSection = u"Vemo_Server_Crypt Settings";
inline constexpr std::u16string_view kDefaultProviderKey = u"defaultProvider";
inline constexpr char kSettingsFileName[] = "Vemo_Server_Crypt.ini";
// DefaultProvider holds at most 9 characters, as its 10-character buffer did.
inline constexpr size_t kDefaultProviderBufferChars = 10;

// Forms the data folder, keeps it private to the user (an entry in the event log tells what
// had to be narrowed) and starts the event log in it.
std::filesystem::path PrepareDataFolder();

// Creates the settings file empty when it is missing (where the folder exists), so that the
// user finds it to edit.
void EnsureSettingsFile(const std::filesystem::path& settings);

// The defaultProvider setting, or the empty text. A settings file left in the working
// directory by an older version is moved into the data folder first, when the data folder has
// none; the file is created empty when missing.
std::u16string LoadDefaultProvider(const std::filesystem::path& data_folder);

}  // namespace vemo
