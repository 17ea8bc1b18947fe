#pragma once

#include <string>

#include "support/secret_text.h"

namespace vemo::token {

// What the PIN prompt shows (UTF-8).
struct PinRequest {
  std::string description;
  std::string error;  // shown as a warning above the field, when not empty
};

struct PinAnswer {
  enum Outcome { kEntered, kCancelled, kFailed } outcome = kFailed;
  SecretNarrow pin;  // kEntered only
};

// Asks for the PIN with `pinentry` from the PATH, the desktop's own PIN prompt (Debian's
// alternatives choose its variant), speaking the Assuan protocol over a socket pair. Every
// buffer that held the PIN is wiped. kFailed when no prompt can be shown: no pinentry, no
// display or terminal for it, or a protocol it does not keep. Blocks until the user answers;
// any thread.
PinAnswer AskPin(const PinRequest& request);

// While prompts are held back (the module is being released), a pending prompt is ended as
// cancelled and no new one starts. Any thread.
void HoldBackPinPrompts(bool hold);

}  // namespace vemo::token
