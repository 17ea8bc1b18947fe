#include "platform/server_certificate.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/file.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "platform/openssl_ptr.h"
#include "support/unique_fd.h"

namespace vemo::platform {
namespace {

using BioPtr = std::unique_ptr<BIO, FreeWith<BIO_free_all>>;
using BignumPtr = std::unique_ptr<BIGNUM, FreeWith<BN_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, FreeWith<X509_EXTENSION_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, FreeWith<EVP_PKEY_free>>;
using CertificatePtr = std::unique_ptr<X509, FreeWith<X509_free>>;

constexpr char kLeafName[] = "localhost";
constexpr int kSerialBits = 159;  // positive and at most 20 bytes, as the CA/B rules want
constexpr long kSecondsPerDay = 24 * 60 * 60;

// A certificate with its private key.
struct Credential {
  CertificatePtr certificate;
  KeyPtr key;
};

// Appends OpenSSL's queued reasons to a message and empties the queue.
std::string WithOpenSslReason(std::string message) {
  while (const unsigned long code = ERR_get_error()) {
    char text[256];
    ERR_error_string_n(code, text, sizeof(text));
    message += "; ";
    message += text;
  }
  return message;
}

std::optional<std::string> ReadSmallFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string ToPem(X509* certificate) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) return {};
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

std::string ToPem(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio ||
      PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return {};
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

// Every certificate of a PEM file, in file order; empty when the file is missing or broken.
std::vector<CertificatePtr> ReadCertificates(const std::filesystem::path& path) {
  std::vector<CertificatePtr> certificates;
  const auto bytes = ReadSmallFile(path);
  if (!bytes) return certificates;
  BioPtr bio(BIO_new_mem_buf(bytes->data(), static_cast<int>(bytes->size())));
  while (bio) {
    CertificatePtr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!certificate) break;
    certificates.push_back(std::move(certificate));
  }
  ERR_clear_error();  // the end of the file reads as an error
  return certificates;
}

KeyPtr ReadKey(const std::filesystem::path& path) {
  const auto bytes = ReadSmallFile(path);
  if (!bytes) return nullptr;
  BioPtr bio(BIO_new_mem_buf(bytes->data(), static_cast<int>(bytes->size())));
  KeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  return key;
}

// Valid now and still for at least renew_days.
bool LastsLongEnough(X509* certificate, int renew_days) {
  const time_t now = std::time(nullptr);
  time_t renew_at = now + static_cast<time_t>(renew_days) * kSecondsPerDay;
  return X509_cmp_time(X509_get0_notBefore(certificate), const_cast<time_t*>(&now)) < 0 &&
         X509_cmp_time(X509_get0_notAfter(certificate), &renew_at) > 0;
}

bool SignedBy(X509* certificate, X509* issuer) {
  EVP_PKEY* issuer_key = X509_get0_pubkey(issuer);
  const bool ok = issuer_key != nullptr && X509_verify(certificate, issuer_key) == 1 &&
                  X509_check_issued(issuer, certificate) == X509_V_OK;
  ERR_clear_error();
  return ok;
}

bool Matches(X509* certificate, EVP_PKEY* key) {
  const bool ok = X509_check_private_key(certificate, key) == 1;
  ERR_clear_error();
  return ok;
}

bool AddExtension(X509* certificate, X509V3_CTX* context, int nid, const char* value) {
  ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, context, nid, value));
  return extension && X509_add_ext(certificate, extension.get(), -1) == 1;
}

struct ExtensionEntry {
  int nid;
  const char* value;
};

// A new key and a certificate for it, signed by the issuer (itself when issuer is null).
std::optional<Credential> Issue(const char* common_name, int days, const Credential* issuer,
                                const std::vector<ExtensionEntry>& extensions, std::string* error) {
  Credential made;
  made.key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  made.certificate.reset(X509_new());
  BignumPtr serial(BN_new());
  if (!made.key || !made.certificate || !serial) {
    *error = WithOpenSslReason("cannot make a key");
    return std::nullopt;
  }
  X509* certificate = made.certificate.get();
  bool ok = X509_set_version(certificate, X509_VERSION_3) == 1;
  do {
    ok = ok && BN_rand(serial.get(), kSerialBits, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1;
  } while (ok && BN_is_zero(serial.get()));
  ok = ok && BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(certificate)) != nullptr;
  ok = ok && X509_gmtime_adj(X509_getm_notBefore(certificate), 0) != nullptr;
  ok = ok && X509_time_adj_ex(X509_getm_notAfter(certificate), days, 0, nullptr) != nullptr;
  X509_NAME* subject = X509_get_subject_name(certificate);
  ok = ok && X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                        reinterpret_cast<const unsigned char*>(common_name), -1, -1,
                                        0) == 1;
  X509* issuer_certificate = issuer ? issuer->certificate.get() : certificate;
  EVP_PKEY* issuer_key = issuer ? issuer->key.get() : made.key.get();
  ok = ok && X509_set_issuer_name(certificate, X509_get_subject_name(issuer_certificate)) == 1;
  ok = ok && X509_set_pubkey(certificate, made.key.get()) == 1;
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer_certificate, certificate, nullptr, nullptr, 0);
  for (const auto& extension : extensions) {
    ok = ok && AddExtension(certificate, &context, extension.nid, extension.value);
  }
  ok = ok && X509_sign(certificate, issuer_key, EVP_sha256()) > 0;
  if (!ok) {
    *error = WithOpenSslReason(std::string("cannot make the certificate \"") + common_name + "\"");
    return std::nullopt;
  }
  return made;
}

// Every CA gets a name of its own: a browser's certificate database files certificates of one
// subject under one nickname, so a renewed CA with the old name could not be told from the old
// one there, nor the old one removed alone.
std::optional<std::string> NewCaName(std::string* error) {
  unsigned char random[4];
  if (RAND_bytes(random, sizeof random) != 1) {
    *error = WithOpenSslReason("cannot make a name for the CA");
    return std::nullopt;
  }
  std::string name = std::string(kCaNamePrefix) + " ";
  for (unsigned char byte : random) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    name += digits;
  }
  return name;
}

std::optional<Credential> IssueCa(int days, std::string* error) {
  const auto name = NewCaName(error);
  if (!name) return std::nullopt;
  return Issue(name->c_str(), days, nullptr,
               {{NID_basic_constraints, "critical,CA:TRUE,pathlen:0"},
                {NID_key_usage, "critical,keyCertSign,cRLSign"},
                // Even if the key leaked, this CA could vouch for nothing but this machine.
                {NID_name_constraints,
                 "critical,permitted;DNS:localhost,permitted;IP:127.0.0.1/255.255.255.255,"
                 "permitted;IP:::1/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
                {NID_subject_key_identifier, "hash"},
                {NID_authority_key_identifier, "keyid:always"}},
               error);
}

std::optional<Credential> IssueLeaf(const Credential& ca, int days, std::string* error) {
  return Issue(kLeafName, days, &ca,
               {{NID_basic_constraints, "critical,CA:FALSE"},
                {NID_key_usage, "critical,digitalSignature"},
                {NID_ext_key_usage, "serverAuth"},
                {NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1"},
                {NID_subject_key_identifier, "hash"},
                {NID_authority_key_identifier, "keyid:always"}},
               error);
}

// The stored CA when it is whole and lasts long enough.
std::optional<Credential> LoadCa(const std::filesystem::path& folder, int renew_days) {
  auto certificates = ReadCertificates(folder / kCaCertificateFile);
  KeyPtr key = ReadKey(folder / kCaKeyFile);
  if (certificates.size() != 1 || !key) return std::nullopt;
  X509* certificate = certificates.front().get();
  if (X509_check_ca(certificate) == 0 || !SignedBy(certificate, certificate) ||
      !Matches(certificate, key.get()) || !LastsLongEnough(certificate, renew_days)) {
    return std::nullopt;
  }
  return Credential{std::move(certificates.front()), std::move(key)};
}

// Whether the stored chain is a leaf of this CA followed by the CA, with its key, lasting long
// enough.
bool LeafUsable(const std::filesystem::path& folder, const Credential& ca, int renew_days) {
  auto chain = ReadCertificates(folder / kLeafCertificateFile);
  KeyPtr key = ReadKey(folder / kLeafKeyFile);
  if (chain.size() != 2 || !key) return false;
  X509* leaf = chain[0].get();
  return X509_cmp(chain[1].get(), ca.certificate.get()) == 0 &&
         SignedBy(leaf, ca.certificate.get()) && Matches(leaf, key.get()) &&
         LastsLongEnough(leaf, renew_days);
}

}  // namespace

bool EnsureServerCertificate(const std::filesystem::path& folder, ServerCertificate* result,
                             std::string* error, const CertificateLifetimes& lifetimes) {
  if (!CreatePrivateFolders(folder)) {
    *error = "cannot create the folder " + folder.string() + ": " + std::strerror(errno);
    return false;
  }
  // The running program and a certificate command of the user may both get here; the second
  // waits and then finds the files the first made.
  const UniqueFd lock(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!lock.ok() || ::flock(lock.get(), LOCK_EX) != 0) {
    *error = "cannot lock the folder " + folder.string() + ": " + std::strerror(errno);
    return false;
  }
  ERR_clear_error();
  std::optional<Credential> ca = LoadCa(folder, lifetimes.ca_renew_days);
  const bool new_ca = !ca;
  if (new_ca) {
    ca = IssueCa(lifetimes.ca_days, error);
    if (!ca) return false;
    // The key goes first: a certificate on disk without its key would be useless.
    if (!WriteFileAtomically(folder / kCaKeyFile, ToPem(ca->key.get()), 0600, error) ||
        !WriteFileAtomically(folder / kCaCertificateFile, ToPem(ca->certificate.get()), 0600,
                             error)) {
      return false;
    }
  }
  if (new_ca || !LeafUsable(folder, *ca, lifetimes.leaf_renew_days)) {
    auto leaf = IssueLeaf(*ca, lifetimes.leaf_days, error);
    if (!leaf) return false;
    const std::string chain = ToPem(leaf->certificate.get()) + ToPem(ca->certificate.get());
    if (!WriteFileAtomically(folder / kLeafKeyFile, ToPem(leaf->key.get()), 0600, error) ||
        !WriteFileAtomically(folder / kLeafCertificateFile, chain, 0600, error)) {
      return false;
    }
  }
  result->tls.certificate_chain = folder / kLeafCertificateFile;
  result->tls.private_key = folder / kLeafKeyFile;
  result->ca_certificate = folder / kCaCertificateFile;
  return true;
}

}  // namespace vemo::platform
