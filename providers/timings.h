#pragma once

#include <chrono>

namespace vemo {

// How long a token login or a typed password stays usable, and how long a signing waits for
// a provider's lock. The program uses the defaults; tests shorten them.
struct ProviderTimings {
  std::chrono::milliseconds keeper_delay{60'000};
  std::chrono::milliseconds lock_wait{3'000};
};

}  // namespace vemo
