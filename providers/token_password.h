#pragma once

#include <cstdint>
#include <string>

#include "support/main_window_view.h"

namespace vemo {

// Shows the token password dialog and waits for it. After OK the typed password becomes
// TokenPassword and its length in characters is returned; after Cancel 0, and TokenPassword
// stays as it was. Called on the request loop thread.
int32_t PromptTokenPassword(MainWindowView& view);

// The password of the last dialog confirmed with OK.
std::u16string TokenPassword();

}  // namespace vemo
