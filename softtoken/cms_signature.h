#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vemo::token {

// Detached CMS SignedData (DER) over the document with the signer's certificate, SHA-256 and
// the signed attributes content type, signing time and message digest.

// With a private key at hand (the software key).
std::optional<std::string> SignDetached(X509* certificate, EVP_PKEY* key,
                                        std::string_view document);

// Computes the signature value over the SHA-256 digest of the signed attributes: an Avest
// code, and *signature in the form CMS carries it (PKCS #1 v1.5, or DER ECDSA-Sig-Value).
using DigestSigner = std::function<int32_t(std::string_view digest, std::string* signature)>;

// With a key that stays where it is (a token): the structure is made here and only the
// signature value there. An Avest code.
int32_t SignDetachedWith(X509* certificate, std::string_view document, const DigestSigner& sign,
                         std::string* der);

}  // namespace vemo::token
