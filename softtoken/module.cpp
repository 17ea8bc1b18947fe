// The bundled module: AvCryptMail's and FCP's entry points, standing in where the vendors'
// modules are not installed. It signs with the user's token, whatever PKCS#11 driver the system
// registers for it with p11-kit, asking for the PIN with pinentry. Until a token has signed for
// this user it signs with a software key where no token with a certificate for signing is
// present, so that the program can be tried out on a fresh machine; once a token has signed,
// a missing token is reported instead. Signatures are detached CMS SignedData (DER).
//
// All entry points are thread-safe; one mutex serialises them. AvCmInit(2) ends a pending PIN
// prompt, so that releasing the module never waits for the user.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

#include "platform/outside_modules.h"
#include "softtoken/avest_codes.h"
#include "softtoken/certificate_choice.h"
#include "softtoken/cms_signature.h"
#include "softtoken/module_files.h"
#include "softtoken/pinentry.h"
#include "softtoken/pkcs11_tokens.h"
#include "softtoken/software_key.h"
#include "support/unique_fd.h"

#define VEMO_EXPORT extern "C" __attribute__((visibility("default")))

VEMO_EXPORT int32_t AvCmSign(void);

namespace {

using namespace vemo::token;

// A login: a session with a token, or none for the software key.
struct Login {
  std::unique_ptr<TokenSession> token;
};

// Where the module goes away still in use (the process ends without AvCmInit(2)), the
// sessions close before the modules are finalised: members go in reverse order. p11-kit is
// still there then, since it leaves only after the exit handlers.
struct State {
  std::mutex mutex;
  std::unique_ptr<Pkcs11> pkcs11;
  std::map<AvCmHandle, Login> logins;
  AvCmHandle next_handle = 1;
};
State state;

AvCmHandle NewHandle() {
  while (state.next_handle == 0 || state.logins.count(state.next_handle)) ++state.next_handle;
  return state.next_handle++;
}

bool OtherLoginOn(CK_SLOT_ID slot, const TokenSession* except) {
  for (const auto& [handle, login] : state.logins) {
    if (login.token && login.token.get() != except && login.token->token().slot == slot) {
      return true;
    }
  }
  return false;
}

std::string CommonName(X509* certificate) {
  const X509_NAME* name = X509_get_subject_name(certificate);
  const int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
  unsigned char* text = nullptr;
  const int length =
      index < 0
          ? -1
          : ASN1_STRING_to_UTF8(&text, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
  if (length < 0) return "?";
  std::string out(reinterpret_cast<const char*>(text), static_cast<size_t>(length));
  OPENSSL_free(text);
  return out;
}

std::string PromptText(const Token& token, const TokenCertificate& chosen) {
  const time_t until = static_cast<time_t>(chosen.facts.not_after);
  struct tm parts {};
  ::gmtime_r(&until, &parts);
  char date[40];
  std::snprintf(date, sizeof date, "%02d.%02d.%04d", parts.tm_mday, parts.tm_mon + 1,
                parts.tm_year + 1900);
  return "Подпись документа для банка.\nНоситель: " + token.label +
         "\nСертификат: " + CommonName(chosen.certificate.get()) + ", действителен до " + date +
         "\nВведите PIN-код носителя.";
}

// The login of AvCmLogin. Called with the mutex held.
int32_t LogIn(AvCmHandle* handle) {
  const auto memory = ReadSignerMemory();
  const TokenScan scan = state.pkcs11 ? state.pkcs11->Scan() : TokenScan{};
  std::vector<CertificateFacts> facts;
  for (const TokenCertificate& found : scan.certificates) facts.push_back(found.facts);
  const Choice choice =
      ChooseCertificate(facts, ::time(nullptr), memory ? memory->certificate : std::string());
  if (!choice.index) {
    // A certificate for signing that is out of its validity still shows the user's token:
    // its trouble is reported, not hidden by the software key.
    if (!memory && (choice.code == kNoCertificate || choice.code == kNotForSigning)) {
      if (!GetSoftwareKey()) return kNoCertificate;
      *handle = NewHandle();
      state.logins.emplace(*handle, Login{});
      return kOk;
    }
    if (choice.code == kNoCertificate) {
      // No personal certificate on the token that signed before means an emptied token;
      // without that token, the token is missing.
      for (const Token& token : scan.tokens) {
        if (memory && token.identity == memory->token) return kNoCertificate;
      }
      return kNoToken;
    }
    return choice.code;
  }
  const TokenCertificate& chosen = scan.certificates[*choice.index];
  const Token& token = scan.tokens[chosen.token];
  int32_t code = kOk;
  auto session = state.pkcs11->Open(token, &code);
  if (!session) return code;
  code = session->LogIn(PromptText(token, chosen));
  if (code == kOk) code = session->UseKeyOf(chosen);
  if (code != kOk) {
    if (!OtherLoginOn(token.slot, session.get())) session->LogOut();
    return code;
  }
  *handle = NewHandle();
  state.logins.emplace(*handle, Login{std::move(session)});
  return kOk;
}

void EndLogin(std::map<AvCmHandle, Login>::iterator login) {
  if (login->second.token &&
      !OtherLoginOn(login->second.token->token().slot, login->second.token.get())) {
    login->second.token->LogOut();
  }
  state.logins.erase(login);
}

}  // namespace

VEMO_EXPORT int32_t AvCmInit(uint32_t mode) {
  if (mode == 1) {
    HoldBackPinPrompts(false);
    std::lock_guard lock(state.mutex);
    if (!state.pkcs11) state.pkcs11 = Pkcs11::Load();
    return kOk;
  }
  if (mode == 2) {
    HoldBackPinPrompts(true);
    std::lock_guard lock(state.mutex);
    while (!state.logins.empty()) EndLogin(state.logins.begin());
    state.pkcs11.reset();
    return kOk;
  }
  return kFailure;
}

VEMO_EXPORT int32_t AvCmInitEx(void) { return kOk; }

VEMO_EXPORT int32_t AvCmLogin(const void*, const void*, AvCmHandle* handle, int32_t) {
  if (!handle) return kFailure;
  std::lock_guard lock(state.mutex);
  return LogIn(handle);
}

VEMO_EXPORT int32_t AvCmLogout(AvCmHandle handle, int32_t) {
  std::lock_guard lock(state.mutex);
  const auto login = state.logins.find(handle);
  if (login == state.logins.end()) return kNoToken;
  EndLogin(login);
  return kOk;
}

// Only its address is used: it tells sign_Avest that the caller went through this module.
VEMO_EXPORT int32_t AvCmSign(void) { return kFailure; }

VEMO_EXPORT int32_t sign_Avest(void* av_cm_sign, AvCmHandle handle, const uint8_t* document,
                               uint32_t document_length, uint8_t* signature,
                               int32_t* signature_length, uint32_t) {
  if (!signature_length || (!document && document_length > 0)) return kFailure;
  if (av_cm_sign != reinterpret_cast<void*>(&AvCmSign)) return kFailure;
  if (document_length > static_cast<uint32_t>(INT32_MAX)) return kFailure;
  const std::string_view bytes(document_length ? reinterpret_cast<const char*>(document) : "",
                               document_length);
  std::lock_guard lock(state.mutex);
  const auto login = state.logins.find(handle);
  if (login == state.logins.end()) return kNoToken;
  std::string der;
  TokenSession* token = login->second.token.get();
  if (!token) {
    const SoftwareKey* key = GetSoftwareKey();
    if (!key) return kNoCertificate;
    auto made = SignDetached(key->certificate.get(), key->key.get(), bytes);
    if (!made) return kFailure;
    der = std::move(*made);
  } else {
    const int32_t code = SignDetachedWith(
        token->certificate(), bytes,
        [token](std::string_view digest, std::string* value) {
          return token->SignDigest(digest, value);
        },
        &der);
    if (code != kOk) return code;
  }
  const int32_t capacity = *signature_length;
  if (!signature || capacity < 0 || der.size() > static_cast<size_t>(capacity)) return kFailure;
  std::memcpy(signature, der.data(), der.size());
  *signature_length = static_cast<int32_t>(der.size());
  if (token) RememberSigner({token->fingerprint(), token->token().identity});
  return kOk;
}

// Signs the file's bytes with the software key and appends the signature to the file.
VEMO_EXPORT int32_t sign_Enigma(const char*, const char* temp_file_path, const char*) {
  if (!temp_file_path) return kTempFileError;
  std::lock_guard lock(state.mutex);
  vemo::UniqueFd fd(::open(temp_file_path, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.ok()) return kTempFileError;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return kTempFileError;
  std::string document(static_cast<size_t>(st.st_size), '\0');
  size_t done = 0;
  while (done < document.size()) {
    const ssize_t got =
        ::pread(fd.get(), document.data() + done, document.size() - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return kTempFileError;
    done += static_cast<size_t>(got);
  }
  const SoftwareKey* key = GetSoftwareKey();
  if (!key) return kNoCertificate;
  const auto der = SignDetached(key->certificate.get(), key->key.get(), document);
  if (!der) return kFailure;
  if (::lseek(fd.get(), st.st_size, SEEK_SET) != st.st_size || !fd.WriteAllAndSync(*der)) {
    // Leave the document as it was rather than half a signature behind it.
    [[maybe_unused]] const int ignored = ::ftruncate(fd.get(), st.st_size);
    return kTempFileError;
  }
  return fd.Close() ? kOk : kTempFileError;
}

// The exports must keep the program's C contract exactly.
static_assert(std::is_same_v<decltype(&AvCmInit), AvCmInitFn>);
static_assert(std::is_same_v<decltype(&AvCmInitEx), AvCmInitExFn>);
static_assert(std::is_same_v<decltype(&AvCmLogin), AvCmLoginFn>);
static_assert(std::is_same_v<decltype(&AvCmLogout), AvCmLogoutFn>);
static_assert(std::is_same_v<decltype(&AvCmSign), AvCmSignFn>);
static_assert(std::is_same_v<decltype(&sign_Avest), SignAvestFn>);
static_assert(std::is_same_v<decltype(&sign_Enigma), SignEnigmaFn>);
