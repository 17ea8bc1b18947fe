#include "providers/token_password.h"

#include <mutex>

namespace vemo {
namespace {

// The password field takes no more characters than this.
constexpr size_t kPasswordFieldLimit = 20;

std::mutex token_password_mutex;
std::u16string token_password;

}  // namespace

int32_t PromptTokenPassword(MainWindowView& view) {
  std::optional<std::u16string> typed = view.RunTokenPasswordDialog();
  if (!typed) return 0;
  if (typed->size() > kPasswordFieldLimit) typed->resize(kPasswordFieldLimit);
  std::lock_guard lock(token_password_mutex);
  token_password = std::move(*typed);
  return static_cast<int32_t>(token_password.size());
}

std::u16string TokenPassword() {
  std::lock_guard lock(token_password_mutex);
  return token_password;
}

}  // namespace vemo
