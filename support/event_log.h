#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <variant>

namespace vemo {

// How the value of an entry is written.
enum class EventValueFormat : int { kText = 0, kDecimal = 1, kHex = 2 };

// The value of an entry: an integer for kDecimal and kHex, an optional text for kText.
// std::monostate is the absent value.
using EventValue = std::variant<std::monostate, int32_t, std::u16string_view>;

inline constexpr uint32_t kLogRotationSize = 26'214'400;  // 25 MiB
inline constexpr int32_t kWriteEventFailed = 100;

// Creates the folder when it is missing (mode 0700, with any missing parent) and sets the two log
// paths inside it. Called once, before the service's threads exist.
void InitEventLog(const std::filesystem::path& folder);

// The current and the rotated log file; empty before InitEventLog.
std::filesystem::path LogPath();
std::filesystem::path RotatedLogPath();

// Writes one entry: timestamp, message, value field, return message field, CR LF. Each entry
// opens, flushes to storage and closes the file. Returns kWriteEventFailed when the file
// cannot be opened, otherwise 0. Serialised by a process-wide lock; any thread may call it.
int32_t WriteEvent(std::optional<std::u16string_view> message,
                   std::optional<std::u16string_view> return_message, EventValue value,
                   EventValueFormat format);

// Tests only: forget the paths, as before InitEventLog.
void ResetEventLogForTesting();

}  // namespace vemo
