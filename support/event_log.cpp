#include "support/event_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "support/text_conversions.h"
#include "support/timestamp.h"
#include "support/unique_fd.h"

namespace vemo {
namespace {

constexpr char kLogFileName[] = "Vemo_Server_Crypt_Z.log";
constexpr char kRotatedLogFileName[] = "Vemo_Server_Crypt_Z.log1";

// One lock for the paths and for every entry: two threads that both found the file over the
// rotation size could otherwise both move it, the second moving a fresh file over the old one.
std::mutex& LogMutex() {
  static std::mutex mutex;
  return mutex;
}

struct LogPaths {
  std::filesystem::path current;
  std::filesystem::path rotated;
};

LogPaths& Paths() {
  static LogPaths paths;
  return paths;
}

int OpenRetrying(const std::filesystem::path& path, int flags) {
  int fd;
  do {
    // The log records every request's query: for the user's eyes only.
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The file is a text file with CR LF line ends, also for line feeds inside a field.
void AppendText(std::string& entry, std::string_view narrow) {
  for (size_t line_end; (line_end = narrow.find('\n')) != std::string_view::npos;) {
    entry.append(narrow.substr(0, line_end)).append("\r\n");
    narrow.remove_prefix(line_end + 1);
  }
  entry.append(narrow);
}

void AppendValue(std::string& entry, const EventValue& value, EventValueFormat format) {
  // An integer format reads the slot as an integer; a slot holding no integer counts as 0, as
  // an empty slot does.
  const int32_t number = std::holds_alternative<int32_t>(value) ? std::get<int32_t>(value) : 0;
  char digits[16];
  switch (format) {
    case EventValueFormat::kDecimal:
      std::snprintf(digits, sizeof digits, " | %d", static_cast<int>(number));
      entry += digits;
      return;
    case EventValueFormat::kHex:
      std::snprintf(digits, sizeof digits, " | %X", static_cast<unsigned>(number));
      entry += digits;
      return;
    default:
      // kText and any unknown format: only a present text gives a value field.
      if (const auto* text = std::get_if<std::u16string_view>(&value)) {
        entry += " | ";
        AppendText(entry, NarrowField(*text));
      }
      return;
  }
}

std::string ComposeEntry(std::optional<std::u16string_view> message,
                         std::optional<std::u16string_view> return_message, const EventValue& value,
                         EventValueFormat format) {
  std::string entry;
  entry.reserve(64 + (message ? message->size() : 0) +
                (return_message ? return_message->size() : 0));
  entry += TimestampPrefix();
  if (message) AppendText(entry, NarrowField(*message));
  AppendValue(entry, value, format);
  if (return_message) {
    entry += " | Return message: ";
    AppendText(entry, NarrowField(*return_message));
  }
  entry += "\r\n";
  return entry;
}

}  // namespace

void InitEventLog(const std::filesystem::path& folder) {
  // Unlike a Windows profile, a fresh Linux home may lack the parent folders too. What is made
  // here is the user's alone, as the application-data folder is.
  std::filesystem::path partial;
  for (const auto& part : folder) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) break;
  }
  std::lock_guard lock(LogMutex());
  Paths().current = folder / kLogFileName;
  Paths().rotated = folder / kRotatedLogFileName;
}

std::filesystem::path LogPath() {
  std::lock_guard lock(LogMutex());
  return Paths().current;
}

std::filesystem::path RotatedLogPath() {
  std::lock_guard lock(LogMutex());
  return Paths().rotated;
}

void ResetEventLogForTesting() {
  std::lock_guard lock(LogMutex());
  Paths() = {};
}

int32_t WriteEvent(std::optional<std::u16string_view> message,
                   std::optional<std::u16string_view> return_message, EventValue value,
                   EventValueFormat format) {
  std::lock_guard lock(LogMutex());
  const LogPaths& paths = Paths();
  if (paths.current.empty()) return kWriteEventFailed;

  // One descriptor serves to learn the size and to append, and is opened again only after a
  // rotation. Reading and writing are both asked for, so a file that the user made unreadable
  // or unwritable fails the entry either way. The full 64-bit size is used so that a file that
  // kept growing past 4 GiB (moves failing) is still seen as too large.
  std::optional<UniqueFd> file(std::in_place,
                               OpenRetrying(paths.current, O_RDWR | O_APPEND | O_CREAT));
  if (!file->ok()) return kWriteEventFailed;
  struct stat status {};
  if (::fstat(file->get(), &status) == 0 &&
      status.st_size >= static_cast<off_t>(kLogRotationSize)) {
    // A failed move leaves the entry in the large file; the next entry tries again.
    file.reset();
    std::error_code ignored;
    std::filesystem::rename(paths.current, paths.rotated, ignored);
    file.emplace(OpenRetrying(paths.current, O_WRONLY | O_APPEND | O_CREAT));
    if (!file->ok()) return kWriteEventFailed;
  }
  const std::string entry = ComposeEntry(message, return_message, value, format);
  // A lost entry is reported like an entry that could not be opened, never as written.
  const bool written = file->WriteAllAndSync(entry);
  const bool closed = file->Close();
  return written && closed ? 0 : kWriteEventFailed;
}

}  // namespace vemo
