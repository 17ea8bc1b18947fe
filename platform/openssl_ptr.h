#pragma once

#include <memory>

namespace vemo::platform {

// An OpenSSL object owned by a unique_ptr that frees it with its own free function:
//   using KeyPtr = std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY_free>>;
template <auto kFree>
struct FreeWith {
  template <typename T>
  void operator()(T* object) const {
    kFree(object);
  }
};

}  // namespace vemo::platform
