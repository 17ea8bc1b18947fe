#include "softtoken/software_key.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <sys/file.h>

#include <cerrno>
#include <optional>
#include <string>

#include "platform/files.h"
#include "softtoken/module_files.h"
#include "support/unique_fd.h"

namespace vemo::token {
namespace {

constexpr char kSubject[] = "Vemo software token";
constexpr long kValidDays = 5 * 365;

using platform::FreeWith;
using Key = std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY_free>>;
using Cert = std::unique_ptr<X509, FreeWith<X509_free>>;
using Bio = std::unique_ptr<BIO, FreeWith<BIO_free_all>>;
using Extension = std::unique_ptr<X509_EXTENSION, FreeWith<X509_EXTENSION_free>>;
using Integer = std::unique_ptr<ASN1_INTEGER, FreeWith<ASN1_INTEGER_free>>;
using Number = std::unique_ptr<BIGNUM, FreeWith<BN_free>>;

std::optional<SoftwareKey> software_key;  // of the folder last used

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

std::optional<SoftwareKey> LoadKey(const std::filesystem::path& folder) {
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
  return SoftwareKey{folder, std::move(key), std::move(cert)};
}

std::optional<SoftwareKey> CreateKey(const std::filesystem::path& folder) {
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
  if (!platform::WriteFileAtomically(folder / "key.pem", BioBytes(key_bio.get()), 0600) ||
      !platform::WriteFileAtomically(folder / "cert.pem", BioBytes(cert_bio.get()), 0644)) {
    return std::nullopt;
  }
  return SoftwareKey{folder, std::move(key), std::move(cert)};
}

}  // namespace

const SoftwareKey* GetSoftwareKey() {
  const std::filesystem::path folder = ModuleFolder();
  if (software_key && software_key->folder == folder) return &*software_key;
  software_key.reset();
  if (!MakePrivateFolder(folder)) return nullptr;
  UniqueFd lock(::open((folder / "lock").c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock.ok()) return nullptr;
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return nullptr;
  }
  software_key = LoadKey(folder);
  if (!software_key) software_key = CreateKey(folder);
  return software_key ? &*software_key : nullptr;
}

}  // namespace vemo::token
