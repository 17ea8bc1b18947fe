#include "providers/token_password.h"

namespace vemo {
namespace {

// The password field takes no more characters than this.
constexpr size_t kPasswordFieldLimit = 20;

}  // namespace

int32_t PromptTokenPassword(PasswordPrompt& prompt, SecretWide* password) {
  std::optional<SecretWide> typed = prompt.Ask();
  if (!typed) return 0;
  typed->Truncate(kPasswordFieldLimit);
  *password = std::move(*typed);
  return static_cast<int32_t>(password->size());
}

}  // namespace vemo
