#pragma once

#include <string_view>

#include "providers/active_provider.h"
#include "providers/avest_provider.h"
#include "providers/enigma_provider.h"
#include "providers/password_prompt.h"
#include "providers/provider_host.h"
#include "providers/timings.h"

namespace vemo {

// The signing providers, the token password prompt they share and the rule that starts one by
// its ProviderName.
class Providers {
 public:
  explicit Providers(PasswordPrompt& prompt, ProviderTimings timings = {});

  ActiveProvider& active() { return active_; }
  AvestProvider& avest() { return avest_; }
  EnigmaProvider& enigma() { return enigma_; }
  PasswordPrompt& prompt() { return prompt_; }

  // Compares exactly with "Авест", "Энигма", "Энигма2" in this order and calls the first
  // match's start; any other text starts nothing. UI thread.
  void StartByName(std::u16string_view name, ProviderHost& host);
  // Code page 1251 for the process; nothing while the service runs; else the provider box's
  // selected entry (none: nothing) becomes the provider text and is started by name.
  void StartSelectedProvider(ProviderHost& host);
  void Enigma2Start(ProviderHost& host);

 private:
  PasswordPrompt& prompt_;
  ActiveProvider active_;
  AvestProvider avest_;
  EnigmaProvider enigma_;
};

// The last steps of every provider start once its own checks have passed: StartServer, the
// running tray icon, the stop button enabled, the window's data saved. A start that ended the
// program stops after StartServer.
void CompleteProviderStart(ProviderHost& host);

}  // namespace vemo
