#pragma once

#include <openssl/x509.h>
#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/openssl_ptr.h"
#include "softtoken/certificate_choice.h"

namespace vemo::token {

using Certificate = std::unique_ptr<X509, platform::FreeWith<X509_free>>;

// A token in a slot, as a scan saw it: initialised and guarding its keys with a login. Tokens
// that need no login hold no one's personal key (the system's trust store is one).
struct Token {
  CK_SLOT_ID slot = 0;
  CK_FLAGS flags = 0;
  std::string label;     // as the token names itself
  std::string identity;  // maker, model and serial number: the same token when it comes back
};

struct TokenCertificate {
  size_t token = 0;  // in TokenScan::tokens
  std::string id;    // CKA_ID, which pairs the certificate with its key
  Certificate certificate;
  CertificateFacts facts;
};

struct TokenScan {
  std::vector<Token> tokens;
  std::vector<TokenCertificate> certificates;
};

class TokenSession;

// The PKCS#11 modules that the user's system registers with p11-kit, reached through p11-kit's
// proxy module, which shows the slots of them all as one module's. Not thread-safe: the
// bundled module serialises its calls.
class Pkcs11 {
 public:
  // Loads and initialises the proxy; nullptr when p11-kit is not installed or fails, and then
  // no token is ever found.
  static std::unique_ptr<Pkcs11> Load();
  ~Pkcs11();  // finalises the modules and releases the proxy
  Pkcs11(const Pkcs11&) = delete;
  Pkcs11& operator=(const Pkcs11&) = delete;

  // The tokens present now and the X.509 certificates they show without a login.
  TokenScan Scan() const;
  // A session on the token; *code is an Avest code when none opens.
  std::unique_ptr<TokenSession> Open(const Token& token, int32_t* code) const;

 private:
  Pkcs11(void* library, CK_FUNCTION_LIST* functions) : library_(library), f_(functions) {}
  void* library_;
  CK_FUNCTION_LIST* f_;
  bool finalize_ = true;
};

// One session with the token of a login: it logs in, finds the certificate's private key and
// signs with it. Closing it (the destructor) does not log out by itself.
class TokenSession {
 public:
  TokenSession(CK_FUNCTION_LIST* functions, CK_SESSION_HANDLE session, const Token& token)
      : f_(functions), session_(session), token_(token) {}
  ~TokenSession();
  TokenSession(const TokenSession&) = delete;
  TokenSession& operator=(const TokenSession&) = delete;

  // Logs the user in: not at all while another session of this process is logged in to the
  // token, by the token's own PIN pad where it has one, else with the PIN asked for with
  // pinentry under this description. An Avest code.
  int32_t LogIn(const std::string& description);
  // Finds the private key that belongs to the certificate and keeps the certificate.
  int32_t UseKeyOf(const TokenCertificate& certificate);
  // The signature value over a SHA-256 digest: PKCS #1 v1.5 for RSA, DER ECDSA-Sig-Value for EC.
  int32_t SignDigest(std::string_view digest, std::string* signature);
  void LogOut();

  X509* certificate() const { return certificate_.get(); }
  const std::string& fingerprint() const { return fingerprint_; }
  const Token& token() const { return token_; }

 private:
  CK_FUNCTION_LIST* f_;
  CK_SESSION_HANDLE session_;
  Token token_;
  std::string description_;
  CK_OBJECT_HANDLE key_ = CK_INVALID_HANDLE;
  int key_type_ = 0;  // EVP_PKEY_RSA or EVP_PKEY_EC
  bool always_authenticate_ = false;
  Certificate certificate_;
  std::string fingerprint_;
};

// What a PKCS#11 result means for the bank's page.
int32_t CodeOf(CK_RV result);

}  // namespace vemo::token
