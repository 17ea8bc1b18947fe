#include "softtoken/pkcs11_tokens.h"

#include <dlfcn.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <cstdio>

#include "softtoken/avest_codes.h"
#include "softtoken/pinentry.h"

#ifndef VEMO_P11_KIT_PROXY
#define VEMO_P11_KIT_PROXY "p11-kit-proxy.so"
#endif

namespace vemo::token {
namespace {

using Number = std::unique_ptr<BIGNUM, platform::FreeWith<BN_free>>;
using EcdsaSignature = std::unique_ptr<ECDSA_SIG, platform::FreeWith<ECDSA_SIG_free>>;

// DER of DigestInfo for SHA-256 up to the digest itself (PKCS #1).
constexpr unsigned char kSha256DigestInfo[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                               0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                               0x01, 0x05, 0x00, 0x04, 0x20};

std::string Trimmed(const unsigned char* text, size_t size) {
  std::string out(reinterpret_cast<const char*>(text), size);
  while (!out.empty() && (out.back() == ' ' || out.back() == '\0')) out.pop_back();
  // Stored in a line of the module's own file: nothing that could break it.
  for (char& c : out) {
    if (static_cast<unsigned char>(c) < 0x20) c = '?';
  }
  return out;
}

// An attribute's value; nullopt when the object does not have it or hides it.
std::optional<std::string> Attribute(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session,
                                     CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE attribute{type, nullptr, 0};
  if (f->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK ||
      attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
    return std::nullopt;
  }
  std::string value(attribute.ulValueLen, '\0');
  attribute.pValue = value.data();
  if (f->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK) return std::nullopt;
  value.resize(attribute.ulValueLen);
  return value;
}

std::vector<CK_OBJECT_HANDLE> FindObjects(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session,
                                          CK_ATTRIBUTE* search, CK_ULONG count) {
  std::vector<CK_OBJECT_HANDLE> found;
  if (f->C_FindObjectsInit(session, search, count) != CKR_OK) return found;
  CK_OBJECT_HANDLE batch[32];
  CK_ULONG got = 0;
  while (f->C_FindObjects(session, batch, 32, &got) == CKR_OK && got > 0) {
    found.insert(found.end(), batch, batch + got);
  }
  f->C_FindObjectsFinal(session);
  return found;
}

std::optional<std::string> ModulusOf(X509* certificate) {
  BIGNUM* modulus = nullptr;
  if (EVP_PKEY_get_bn_param(X509_get0_pubkey(certificate), OSSL_PKEY_PARAM_RSA_N, &modulus) != 1) {
    return std::nullopt;
  }
  Number owned(modulus);
  std::string bytes(static_cast<size_t>(BN_num_bytes(modulus)), '\0');
  BN_bn2bin(modulus, reinterpret_cast<unsigned char*>(bytes.data()));
  return bytes;
}

// PKCS#11 gives an ECDSA signature as r and s of equal length; CMS wants DER.
std::optional<std::string> EcdsaDer(const std::string& raw) {
  if (raw.empty() || raw.size() % 2 != 0) return std::nullopt;
  const auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
  const int half = static_cast<int>(raw.size() / 2);
  EcdsaSignature signature(ECDSA_SIG_new());
  Number r(BN_bin2bn(bytes, half, nullptr));
  Number s(BN_bin2bn(bytes + half, half, nullptr));
  if (!signature || !r || !s || ECDSA_SIG_set0(signature.get(), r.get(), s.get()) != 1) {
    return std::nullopt;
  }
  r.release();
  s.release();
  unsigned char* der = nullptr;
  const int length = i2d_ECDSA_SIG(signature.get(), &der);
  if (length <= 0) return std::nullopt;
  std::string out(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  return out;
}

}  // namespace

int32_t CodeOf(CK_RV result) {
  switch (result) {
    case CKR_OK:
      return kOk;
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
    case CKR_PIN_LEN_RANGE:
    case CKR_PIN_LOCKED:
    case CKR_PIN_EXPIRED:
      return kWrongPin;
    case CKR_CANCEL:
    case CKR_FUNCTION_CANCELED:
      return kCancelled;
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_DEVICE_REMOVED:
    case CKR_SLOT_ID_INVALID:
    case CKR_SESSION_CLOSED:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_USER_NOT_LOGGED_IN:
      return kNoToken;
    case CKR_KEY_HANDLE_INVALID:
    case CKR_OBJECT_HANDLE_INVALID:
      return kNoKey;
    case CKR_KEY_FUNCTION_NOT_PERMITTED:
    case CKR_KEY_TYPE_INCONSISTENT:
      return kNotForSigning;
    default:
      return kFailure;
  }
}

std::unique_ptr<Pkcs11> Pkcs11::Load() {
  void* library = ::dlopen(VEMO_P11_KIT_PROXY, RTLD_NOW | RTLD_LOCAL);
  if (!library) library = ::dlopen("p11-kit-proxy.so", RTLD_NOW | RTLD_LOCAL);
  if (!library) return nullptr;
  CK_FUNCTION_LIST* functions = nullptr;
  const auto get_list =
      reinterpret_cast<CK_C_GetFunctionList>(::dlsym(library, "C_GetFunctionList"));
  if (!get_list || get_list(&functions) != CKR_OK || !functions) {
    ::dlclose(library);
    return nullptr;
  }
  CK_C_INITIALIZE_ARGS arguments{};
  arguments.flags = CKF_OS_LOCKING_OK;
  const CK_RV result = functions->C_Initialize(&arguments);
  if (result != CKR_OK && result != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    std::fprintf(stderr, "token: the PKCS#11 modules do not initialise (0x%lX)\n", result);
    ::dlclose(library);
    return nullptr;
  }
  std::unique_ptr<Pkcs11> pkcs11(new Pkcs11(library, functions));
  // Someone else in this process initialised the proxy: it stays theirs to finalise.
  pkcs11->finalize_ = result == CKR_OK;
  return pkcs11;
}

Pkcs11::~Pkcs11() {
  if (finalize_) f_->C_Finalize(nullptr);
  ::dlclose(library_);
}

TokenScan Pkcs11::Scan() const {
  TokenScan scan;
  std::vector<CK_SLOT_ID> slots;
  for (;;) {
    CK_ULONG count = 0;
    if (f_->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK) return scan;
    slots.resize(count);
    const CK_RV result = f_->C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (result == CKR_BUFFER_TOO_SMALL) continue;  // a token came in between
    if (result != CKR_OK) return scan;
    slots.resize(count);
    break;
  }
  for (const CK_SLOT_ID slot : slots) {
    CK_TOKEN_INFO info{};
    if (f_->C_GetTokenInfo(slot, &info) != CKR_OK) continue;
    if (!(info.flags & CKF_TOKEN_INITIALIZED) ||
        !(info.flags & (CKF_LOGIN_REQUIRED | CKF_PROTECTED_AUTHENTICATION_PATH))) {
      continue;
    }
    CK_SESSION_HANDLE session;
    if (f_->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK) {
      continue;
    }
    const size_t token_index = scan.tokens.size();
    scan.tokens.push_back(Token{slot, info.flags, Trimmed(info.label, sizeof info.label),
                                Trimmed(info.manufacturerID, sizeof info.manufacturerID) + "/" +
                                    Trimmed(info.model, sizeof info.model) + "/" +
                                    Trimmed(info.serialNumber, sizeof info.serialNumber)});
    CK_OBJECT_CLASS certificate_class = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE x509 = CKC_X_509;
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &certificate_class, sizeof certificate_class},
                             {CKA_CERTIFICATE_TYPE, &x509, sizeof x509}};
    for (const CK_OBJECT_HANDLE object : FindObjects(f_, session, search, 2)) {
      const auto der = Attribute(f_, session, object, CKA_VALUE);
      if (!der) continue;
      const auto* in = reinterpret_cast<const unsigned char*>(der->data());
      Certificate certificate(d2i_X509(nullptr, &in, static_cast<long>(der->size())));
      if (!certificate) continue;
      auto facts = ReadFacts(certificate.get());
      if (!facts) continue;
      scan.certificates.push_back(
          TokenCertificate{token_index, Attribute(f_, session, object, CKA_ID).value_or(""),
                           std::move(certificate), std::move(*facts)});
    }
    f_->C_CloseSession(session);
  }
  return scan;
}

std::unique_ptr<TokenSession> Pkcs11::Open(const Token& token, int32_t* code) const {
  CK_SESSION_HANDLE session;
  const CK_RV result =
      f_->C_OpenSession(token.slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
  *code = CodeOf(result);
  if (result != CKR_OK) return nullptr;
  return std::make_unique<TokenSession>(f_, session, token);
}

TokenSession::~TokenSession() { f_->C_CloseSession(session_); }

int32_t TokenSession::LogIn(const std::string& description) {
  description_ = description;
  CK_SESSION_INFO info{};
  CK_RV result = f_->C_GetSessionInfo(session_, &info);
  if (result != CKR_OK) return CodeOf(result);
  if (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS) return kOk;
  if (token_.flags & CKF_PROTECTED_AUTHENTICATION_PATH) {
    result = f_->C_Login(session_, CKU_USER, nullptr, 0);
  } else {
    CK_TOKEN_INFO token_info{};
    const CK_FLAGS flags =
        f_->C_GetTokenInfo(token_.slot, &token_info) == CKR_OK ? token_info.flags : token_.flags;
    if (flags & CKF_USER_PIN_LOCKED) return kWrongPin;
    PinRequest request{description, ""};
    if (flags & CKF_USER_PIN_FINAL_TRY) {
      request.error = "Осталась последняя попытка ввода PIN-кода";
    } else if (flags & CKF_USER_PIN_COUNT_LOW) {
      request.error = "PIN-код уже вводился неверно";
    }
    PinAnswer answer = AskPin(request);
    if (answer.outcome == PinAnswer::kCancelled) return kCancelled;
    if (answer.outcome != PinAnswer::kEntered) return kFailure;
    result = f_->C_Login(session_, CKU_USER,
                         reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(answer.pin.c_str())),
                         answer.pin.size());
  }
  return result == CKR_USER_ALREADY_LOGGED_IN ? kOk : CodeOf(result);
}

int32_t TokenSession::UseKeyOf(const TokenCertificate& certificate) {
  EVP_PKEY* public_key = X509_get0_pubkey(certificate.certificate.get());
  key_type_ = public_key ? EVP_PKEY_get_base_id(public_key) : 0;
  if (key_type_ != EVP_PKEY_RSA && key_type_ != EVP_PKEY_EC) return kFailure;
  CK_OBJECT_CLASS key_class = CKO_PRIVATE_KEY;
  std::vector<CK_OBJECT_HANDLE> keys;
  if (!certificate.id.empty()) {
    CK_ATTRIBUTE search[] = {
        {CKA_CLASS, &key_class, sizeof key_class},
        {CKA_ID, const_cast<char*>(certificate.id.data()), certificate.id.size()}};
    keys = FindObjects(f_, session_, search, 2);
  }
  if (keys.empty() && key_type_ == EVP_PKEY_RSA) {
    // A key stored without the certificate's identifier still shows its modulus.
    if (const auto modulus = ModulusOf(certificate.certificate.get())) {
      CK_ATTRIBUTE search[] = {{CKA_CLASS, &key_class, sizeof key_class},
                               {CKA_MODULUS, const_cast<char*>(modulus->data()), modulus->size()}};
      keys = FindObjects(f_, session_, search, 2);
    }
  }
  if (keys.empty()) return kNoKey;
  key_ = keys.front();
  const auto always = Attribute(f_, session_, key_, CKA_ALWAYS_AUTHENTICATE);
  always_authenticate_ = always && always->size() == sizeof(CK_BBOOL) && (*always)[0] != 0;
  certificate_.reset(X509_dup(certificate.certificate.get()));
  if (!certificate_) return kFailure;
  fingerprint_ = certificate.facts.fingerprint;
  return kOk;
}

int32_t TokenSession::SignDigest(std::string_view digest, std::string* signature) {
  std::string input;
  CK_MECHANISM mechanism{key_type_ == EVP_PKEY_RSA ? CKM_RSA_PKCS : CKM_ECDSA, nullptr, 0};
  if (key_type_ == EVP_PKEY_RSA) {
    input.assign(reinterpret_cast<const char*>(kSha256DigestInfo), sizeof kSha256DigestInfo);
  }
  input.append(digest);
  auto* data = reinterpret_cast<CK_BYTE*>(input.data());
  CK_RV result = f_->C_SignInit(session_, &mechanism, key_);
  if (result != CKR_OK) return CodeOf(result);
  if (always_authenticate_) {
    // The key asks for its PIN at every signature, right after the operation starts.
    PinAnswer answer = AskPin({description_, ""});
    result =
        answer.outcome != PinAnswer::kEntered
            ? CKR_FUNCTION_CANCELED
            : f_->C_Login(session_, CKU_CONTEXT_SPECIFIC,
                          reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(answer.pin.c_str())),
                          answer.pin.size());
    if (result != CKR_OK) {
      // A C_Sign that fails for want of the login ends the operation, so that the session
      // can sign again.
      std::string scratch(8192, '\0');
      CK_ULONG room = scratch.size();
      f_->C_Sign(session_, data, input.size(), reinterpret_cast<CK_BYTE*>(scratch.data()), &room);
      if (answer.outcome == PinAnswer::kFailed) return kFailure;
      return CodeOf(result);
    }
  }
  CK_ULONG length = 0;
  result = f_->C_Sign(session_, data, input.size(), nullptr, &length);
  if (result != CKR_OK) return CodeOf(result);
  std::string raw(length, '\0');
  result =
      f_->C_Sign(session_, data, input.size(), reinterpret_cast<CK_BYTE*>(raw.data()), &length);
  if (result != CKR_OK) return CodeOf(result);
  raw.resize(length);
  if (key_type_ == EVP_PKEY_RSA) {
    *signature = std::move(raw);
    return kOk;
  }
  const auto der = EcdsaDer(raw);
  if (!der) return kFailure;
  *signature = *der;
  return kOk;
}

void TokenSession::LogOut() { f_->C_Logout(session_); }

}  // namespace vemo::token
