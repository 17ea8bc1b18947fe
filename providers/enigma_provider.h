#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "providers/active_provider.h"
#include "providers/password_prompt.h"
#include "providers/provider_host.h"
#include "providers/timings.h"
#include "support/result_code.h"

namespace vemo {

// Signs with the Enigma token: the document goes through "sign.tmp" in the user's private
// temporary folder to FCP's sign_Enigma; a password that signed stays usable for the keeper
// delay.
class EnigmaProvider {
 public:
  EnigmaProvider(ActiveProvider& active, PasswordPrompt& prompt, ProviderTimings timings = {});
  ~EnigmaProvider();  // ends a pending keeper
  EnigmaProvider(const EnigmaProvider&) = delete;
  EnigmaProvider& operator=(const EnigmaProvider&) = delete;

  // EnigmaStart: UI thread.
  void Start(ProviderHost& host);
  // EnigmaSign: request loop thread; same buffer contract as AvestProvider::Sign.
  ResultCode Sign(std::string document, char* buffer, int32_t* length);
  // EnigmaCachePassword: 0, or 1 when the cache lock cannot be had.
  int32_t CachePassword(std::string_view narrow_password);
  // EnigmaForget: zeroes the cached password, leaves the cache state.
  void Forget();
  // The clearing at service stop: the cache becomes empty. UI thread.
  void ClearCache();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vemo
