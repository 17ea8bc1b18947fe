#pragma once

#include <cstdint>

#include "providers/password_prompt.h"
#include "support/secret_text.h"

namespace vemo {

// Shows the token password dialog and waits for it. After OK the typed password (at most the
// field's 20 characters) goes to *password and its length in characters is returned; after
// Cancel, a close or a cancel from the UI 0, and *password stays as it was. An empty password
// confirmed with OK also gives 0. Called on the request loop thread.
int32_t PromptTokenPassword(PasswordPrompt& prompt, SecretWide* password);

}  // namespace vemo
