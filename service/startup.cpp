#include "service/startup.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <system_error>
#include <vector>

#include "platform/files.h"
#include "platform/ini_file.h"
#include "support/event_log.h"
#include "support/text_conversions.h"

namespace vemo {

std::filesystem::path PrepareDataFolder() {
  std::filesystem::path folder = platform::DataFolder();
  const std::vector<std::string> narrowed = platform::MakeFolderPrivate(folder);
  InitEventLog(folder);
  if (!narrowed.empty()) {
    std::string list;
    for (const std::string& item : narrowed) list += (list.empty() ? "" : ", ") + item;
    const std::u16string text = Utf8ToWide(list);
    WriteEvent(u"Data folder made private to its user", std::nullopt, std::u16string_view(text),
               EventValueFormat::kText);
  }
  return folder;
}

void EnsureSettingsFile(const std::filesystem::path& settings) {
  if (int fd = ::open(settings.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600); fd >= 0) {
    ::close(fd);
  }
}

std::u16string LoadDefaultProvider(const std::filesystem::path& data_folder) {
  const std::filesystem::path settings = data_folder / kSettingsFileName;
  std::error_code ignored;
  if (!platform::PathExists(settings)) {
    const std::filesystem::path old_settings =
        std::filesystem::current_path(ignored) / kSettingsFileName;
    if (!ignored && platform::PathExists(old_settings) && !platform::IsDirectory(old_settings)) {
      std::filesystem::copy_file(old_settings, settings,
                                 std::filesystem::copy_options::overwrite_existing, ignored);
      if (!ignored) std::filesystem::remove(old_settings, ignored);
    }
  }
  EnsureSettingsFile(settings);
  return platform::GetPrivateProfileString(kSettingsSection, kDefaultProviderKey, u"",
                                           kDefaultProviderBufferChars, settings);
}

}  // namespace vemo
