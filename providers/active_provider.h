#pragma once

#include <mutex>
#include <string>
#include <string_view>

namespace vemo {

inline constexpr std::u16string_view kAvestName = u"Авест";
inline constexpr std::u16string_view kEnigmaName = u"Энигма";
inline constexpr std::u16string_view kEnigma2Name = u"Энигма2";

// The ProviderName in force. Written on the UI thread, read by the request loop; every read
// sees a whole name.
class ActiveProvider {
 public:
  std::u16string Get() const {
    std::lock_guard lock(mutex_);
    return name_;
  }
  void Set(std::u16string_view name) {
    std::lock_guard lock(mutex_);
    name_ = name;
  }
  bool Is(std::u16string_view name) const {
    std::lock_guard lock(mutex_);
    return name_ == name;
  }

 private:
  mutable std::mutex mutex_;
  std::u16string name_;
};

}  // namespace vemo
