#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>

#include "platform/openssl_ptr.h"

namespace vemo::token {

// The software key: an EC P-256 key and a self-signed certificate kept in the module's folder,
// made on first use. No PIN guards it; it lets the program be tried without a token.
struct SoftwareKey {
  std::filesystem::path folder;
  std::unique_ptr<EVP_PKEY, platform::FreeWith<EVP_PKEY_free>> key;
  std::unique_ptr<X509, platform::FreeWith<X509_free>> certificate;
};

// The key of the current user's folder; nullptr when it can be neither read nor made. The
// caller serialises; a lock file keeps two processes from making two keys at once.
const SoftwareKey* GetSoftwareKey();

}  // namespace vemo::token
