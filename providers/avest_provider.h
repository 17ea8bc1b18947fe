#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/outside_modules.h"
#include "providers/active_provider.h"
#include "providers/provider_host.h"
#include "providers/timings.h"
#include "support/result_code.h"

namespace vemo {

// Signs with the user's Avest token through AvCryptMail and FCP's sign_Avest, keeping a token
// login for the keeper delay after it was made.
class AvestProvider {
 public:
  AvestProvider(ActiveProvider& active, ProviderTimings timings = {});
  ~AvestProvider();  // ends pending keepers without calling the library
  AvestProvider(const AvestProvider&) = delete;
  AvestProvider& operator=(const AvestProvider&) = delete;

  // AvestStart: UI thread.
  void Start(ProviderHost& host);
  // AvestSign: request loop thread. buffer holds kSignatureBufferSize bytes; *length is the
  // capacity on entry and the Base64 text's length on success (no NUL is written).
  ResultCode Sign(std::string document, char* buffer, int32_t* length);
  // AvestUnload: UI thread.
  ResultCode Unload();
  // AvestForget: request loop thread.
  void Forget();

  // AvestLoginFlags: the last 1, 8 or 9 from an "option" header; kept until the program ends.
  void SetLoginFlags(int32_t flags) { login_flags_.store(flags); }
  int32_t LoginFlags() const { return login_flags_.load(); }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::atomic<int32_t> login_flags_{0};
};

inline constexpr int32_t kSignatureBufferSize = 8192;

}  // namespace vemo
