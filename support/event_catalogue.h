#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "support/event_log.h"

namespace vemo {

// Writes the entry that the catalogue gives for the number; unknown numbers write
// "Invalid log". Never fails; returns 0.
int32_t LogEvent(int32_t number, std::optional<std::u16string_view> return_message,
                 EventValue value);

}  // namespace vemo
