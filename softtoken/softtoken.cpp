// The bundled software token. It exports the entry points of AvCryptMail and FCP so that the
// program signs for real where no vendor module is installed: an EC P-256 key and a
// self-signed certificate kept in the user's data folder, detached CMS SignedData (DER) as the
// signature. It has no PIN: any login and any password are accepted.
//
// All entry points are thread-safe; one mutex serialises them.

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <type_traits>

#include "platform/files.h"
#include "platform/openssl_ptr.h"
#include "platform/outside_modules.h"
#include "support/unique_fd.h"

#define VEMO_EXPORT extern "C" __attribute__((visibility("default")))

VEMO_EXPORT int32_t AvCmSign(void);

namespace {

// Codes of the Avest range, so that the program's replies name the trouble.
constexpr int32_t kFailure = static_cast<int32_t>(0xE82A0100u);        // "undescribed error"
constexpr int32_t kNoCertificate = static_cast<int32_t>(0xE82A010Du);  // no personal certificate
constexpr int32_t kNotLoggedIn = static_cast<int32_t>(0xE82A014Au);    // no token with the key
constexpr int32_t kTempFileError = 256;

constexpr char kSubject[] = "Vemo software token";
constexpr long kValidDays = 5 * 365;

using vemo::platform::FreeWith;
using Key = std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, FreeWith<X509_free>>;
using Bio = std::unique_ptr<BIO, FreeWith<BIO_free_all>>;
using Cms = std::unique_ptr<CMS_ContentInfo, FreeWith<CMS_ContentInfo_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, FreeWith<X509_EXTENSION_free>>;
using Integer = std::unique_ptr<ASN1_INTEGER, FreeWith<ASN1_INTEGER_free>>;
using Number = std::unique_ptr<BIGNUM, FreeWith<BN_free>>;

using vemo::UniqueFd;
using vemo::platform::WriteFileAtomically;

struct Credentials {
  std::filesystem::path folder;
  Key key;
  Cert cert;
};

std::mutex token_mutex;
std::optional<Credentials> credentials;  // of the folder last used
std::set<AvCmHandle> logins;
AvCmHandle next_handle = 1;

// Beside the program's own files, found by the same rules.
std::filesystem::path TokenFolder() { return vemo::platform::DataFolder() / "softtoken"; }

// Creates the missing folders of the path (mode 0700) and accepts the last one only when it
// is a real directory of ours that nobody else may write to: the private key lives there.
bool MakePrivateFolder(const std::filesystem::path& folder) {
  std::filesystem::path partial;
  for (const auto& part : folder) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::optional<std::string> ReadOwnFile(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.ok()) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    return std::nullopt;
  }
  std::string bytes;
  char chunk[4096];
  ssize_t got;
  while ((got = ::read(fd.get(), chunk, sizeof chunk)) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    bytes.append(chunk, static_cast<size_t>(got));
  }
  return bytes;
}

std::string BioBytes(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

bool AddExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  Extension extension(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  return extension && X509_add_ext(cert, extension.get(), -1) == 1;
}

Cert MakeCertificate(EVP_PKEY* key) {
  Cert cert(X509_new());
  if (!cert) return nullptr;
  unsigned char serial_bytes[16];
  if (RAND_bytes(serial_bytes, sizeof serial_bytes) != 1) return nullptr;
  serial_bytes[0] &= 0x7F;  // a positive serial number
  Number serial_number(BN_bin2bn(serial_bytes, sizeof serial_bytes, nullptr));
  Integer serial(serial_number ? BN_to_ASN1_INTEGER(serial_number.get(), nullptr) : nullptr);
  X509_NAME* name = X509_get_subject_name(cert.get());
  const bool ok =
      serial && X509_set_version(cert.get(), X509_VERSION_3) == 1 &&
      X509_set_serialNumber(cert.get(), serial.get()) == 1 &&
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) &&
      X509_time_adj_ex(X509_getm_notAfter(cert.get()), kValidDays, 0, nullptr) &&
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>(kSubject), -1, -1,
                                 0) == 1 &&
      X509_set_issuer_name(cert.get(), name) == 1 && X509_set_pubkey(cert.get(), key) == 1 &&
      AddExtension(cert.get(), NID_basic_constraints, "critical,CA:FALSE") &&
      AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature,nonRepudiation") &&
      AddExtension(cert.get(), NID_subject_key_identifier, "hash") &&
      X509_sign(cert.get(), key, EVP_sha256()) > 0;
  return ok ? std::move(cert) : nullptr;
}

std::optional<Credentials> LoadCredentials(const std::filesystem::path& folder) {
  const auto key_pem = ReadOwnFile(folder / "key.pem");
  const auto cert_pem = ReadOwnFile(folder / "cert.pem");
  if (!key_pem || !cert_pem) return std::nullopt;
  Bio key_bio(BIO_new_mem_buf(key_pem->data(), static_cast<int>(key_pem->size())));
  Bio cert_bio(BIO_new_mem_buf(cert_pem->data(), static_cast<int>(cert_pem->size())));
  if (!key_bio || !cert_bio) return std::nullopt;
  Key key(PEM_read_bio_PrivateKey(key_bio.get(), nullptr, nullptr, nullptr));
  Cert cert(PEM_read_bio_X509(cert_bio.get(), nullptr, nullptr, nullptr));
  // A pair that does not match (left half replaced) or an expired certificate is made anew.
  if (!key || !cert || X509_check_private_key(cert.get(), key.get()) != 1 ||
      X509_cmp_current_time(X509_get0_notAfter(cert.get())) <= 0) {
    return std::nullopt;
  }
  return Credentials{folder, std::move(key), std::move(cert)};
}

std::optional<Credentials> CreateCredentials(const std::filesystem::path& folder) {
  Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) return std::nullopt;
  Cert cert = MakeCertificate(key.get());
  Bio key_bio(BIO_new(BIO_s_mem()));
  Bio cert_bio(BIO_new(BIO_s_mem()));
  if (!cert || !key_bio || !cert_bio ||
      PEM_write_bio_PrivateKey(key_bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
          1 ||
      PEM_write_bio_X509(cert_bio.get(), cert.get()) != 1) {
    return std::nullopt;
  }
  if (!WriteFileAtomically(folder / "key.pem", BioBytes(key_bio.get()), 0600) ||
      !WriteFileAtomically(folder / "cert.pem", BioBytes(cert_bio.get()), 0644)) {
    return std::nullopt;
  }
  return Credentials{folder, std::move(key), std::move(cert)};
}

// The key and certificate of the current user's folder, made on first use. Called with
// token_mutex held; a lock file keeps two processes from making two pairs at once.
const Credentials* GetCredentials() {
  const std::filesystem::path folder = TokenFolder();
  if (credentials && credentials->folder == folder) return &*credentials;
  credentials.reset();
  if (!MakePrivateFolder(folder)) return nullptr;
  UniqueFd lock(::open((folder / "lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock.ok()) return nullptr;
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return nullptr;
  }
  credentials = LoadCredentials(folder);
  if (!credentials) credentials = CreateCredentials(folder);
  return credentials ? &*credentials : nullptr;
}

// Detached SignedData over the document, DER, with the signer's certificate.
std::optional<std::string> SignDocument(const Credentials& token, const void* document,
                                        size_t length) {
  if (length > static_cast<size_t>(INT32_MAX)) return std::nullopt;
  Bio data(BIO_new_mem_buf(length ? document : "", static_cast<int>(length)));
  if (!data) return std::nullopt;
  Cms cms(CMS_sign(token.cert.get(), token.key.get(), nullptr, data.get(),
                   CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP));
  if (!cms) return std::nullopt;
  const int size = i2d_CMS_ContentInfo(cms.get(), nullptr);
  if (size <= 0) return std::nullopt;
  std::string der(static_cast<size_t>(size), '\0');
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  if (i2d_CMS_ContentInfo(cms.get(), &out) != size) return std::nullopt;
  return der;
}

}  // namespace

VEMO_EXPORT int32_t AvCmInit(uint32_t mode) {
  std::lock_guard lock(token_mutex);
  if (mode == 2) logins.clear();
  return mode == 1 || mode == 2 ? 0 : kFailure;
}

VEMO_EXPORT int32_t AvCmInitEx(void) { return 0; }

VEMO_EXPORT int32_t AvCmLogin(const void*, const void*, AvCmHandle* handle, int32_t) {
  if (!handle) return kFailure;
  std::lock_guard lock(token_mutex);
  if (!GetCredentials()) return kNoCertificate;
  if (next_handle == 0) next_handle = 1;
  *handle = next_handle++;
  logins.insert(*handle);
  return 0;
}

VEMO_EXPORT int32_t AvCmLogout(AvCmHandle handle, int32_t) {
  std::lock_guard lock(token_mutex);
  return logins.erase(handle) ? 0 : kNotLoggedIn;
}

// Only its address is used: it tells sign_Avest that the caller went through this module.
VEMO_EXPORT int32_t AvCmSign(void) { return kFailure; }

VEMO_EXPORT int32_t sign_Avest(void* av_cm_sign, AvCmHandle handle, const uint8_t* document,
                               uint32_t document_length, uint8_t* signature,
                               int32_t* signature_length, uint32_t) {
  if (!signature_length || (!document && document_length > 0)) return kFailure;
  if (av_cm_sign != reinterpret_cast<void*>(&AvCmSign)) return kFailure;
  std::lock_guard lock(token_mutex);
  if (!logins.count(handle)) return kNotLoggedIn;
  const Credentials* token = GetCredentials();
  if (!token) return kNoCertificate;
  const auto der = SignDocument(*token, document, document_length);
  if (!der) return kFailure;
  const int32_t capacity = *signature_length;
  if (!signature || capacity < 0 || der->size() > static_cast<size_t>(capacity)) return kFailure;
  std::memcpy(signature, der->data(), der->size());
  *signature_length = static_cast<int32_t>(der->size());
  return 0;
}

VEMO_EXPORT int32_t sign_Enigma(const char*, const char* temp_file_path, const char*) {
  if (!temp_file_path) return kTempFileError;
  std::lock_guard lock(token_mutex);
  UniqueFd fd(::open(temp_file_path, O_RDWR | O_NOFOLLOW | O_CLOEXEC));
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
  const Credentials* token = GetCredentials();
  if (!token) return kNoCertificate;
  const auto der = SignDocument(*token, document.data(), document.size());
  if (!der) return kFailure;
  if (::lseek(fd.get(), st.st_size, SEEK_SET) != st.st_size || !fd.WriteAllAndSync(*der)) {
    // Leave the document as it was rather than half a signature behind it.
    [[maybe_unused]] const int ignored = ::ftruncate(fd.get(), st.st_size);
    return kTempFileError;
  }
  return fd.Close() ? 0 : kTempFileError;
}

// The exports must keep the program's C contract exactly.
static_assert(std::is_same_v<decltype(&AvCmInit), AvCmInitFn>);
static_assert(std::is_same_v<decltype(&AvCmInitEx), AvCmInitExFn>);
static_assert(std::is_same_v<decltype(&AvCmLogin), AvCmLoginFn>);
static_assert(std::is_same_v<decltype(&AvCmLogout), AvCmLogoutFn>);
static_assert(std::is_same_v<decltype(&AvCmSign), AvCmSignFn>);
static_assert(std::is_same_v<decltype(&sign_Avest), SignAvestFn>);
static_assert(std::is_same_v<decltype(&sign_Enigma), SignEnigmaFn>);
