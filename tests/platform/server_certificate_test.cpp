#include "platform/server_certificate.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/openssl_ptr.h"
#include "tests/fakes/test_support.h"

namespace vemo::platform {
namespace {

namespace fs = std::filesystem;

using CertificatePtr = std::unique_ptr<X509, FreeWith<X509_free>>;
using StorePtr = std::unique_ptr<X509_STORE, FreeWith<X509_STORE_free>>;
using StoreContextPtr = std::unique_ptr<X509_STORE_CTX, FreeWith<X509_STORE_CTX_free>>;
using NameConstraintsPtr = std::unique_ptr<NAME_CONSTRAINTS, FreeWith<NAME_CONSTRAINTS_free>>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, FreeWith<GENERAL_NAMES_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, FreeWith<BN_free>>;

std::vector<CertificatePtr> ReadPem(const fs::path& path) {
  const std::string bytes = test::ReadFileBytes(path);
  std::unique_ptr<BIO, FreeWith<BIO_free>> bio(
      BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  std::vector<CertificatePtr> certificates;
  while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    certificates.emplace_back(certificate);
  }
  return certificates;
}

std::string Serial(X509* certificate) {
  BignumPtr serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate), nullptr));
  char* hex = BN_bn2hex(serial.get());
  std::string text(hex);
  OPENSSL_free(hex);
  return text;
}

int SerialBits(X509* certificate) {
  BignumPtr serial(ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate), nullptr));
  return BN_is_negative(serial.get()) ? -1 : BN_num_bits(serial.get());
}

unsigned Mode(const fs::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

struct Serials {
  std::string ca;
  std::string leaf;
};

class ServerCertificateTest : public ::testing::Test {
 protected:
  Serials Ensure(const CertificateLifetimes& lifetimes = {}) {
    std::string error;
    EXPECT_TRUE(EnsureServerCertificate(folder_, &result_, &error, lifetimes)) << error;
    const auto ca = ReadPem(result_.ca_certificate);
    const auto chain = ReadPem(result_.tls.certificate_chain);
    if (ca.size() != 1 || chain.size() != 2) {
      ADD_FAILURE() << "ca " << ca.size() << " chain " << chain.size();
      return {};
    }
    EXPECT_EQ(X509_cmp(ca[0].get(), chain[1].get()), 0) << "the chain ends with the CA";
    return {Serial(ca[0].get()), Serial(chain[0].get())};
  }

  CertificatePtr Leaf() { return std::move(ReadPem(result_.tls.certificate_chain).front()); }
  CertificatePtr Ca() { return std::move(ReadPem(result_.ca_certificate).front()); }

  test::TempHome home_;
  fs::path folder_ = home_.DataFolder() / "certs";
  ServerCertificate result_;
};

TEST_F(ServerCertificateTest, CreatesEveryFileForTheUserAlone) {
  Ensure();
  EXPECT_EQ(result_.ca_certificate, folder_ / kCaCertificateFile);
  EXPECT_EQ(result_.tls.certificate_chain, folder_ / kLeafCertificateFile);
  EXPECT_EQ(result_.tls.private_key, folder_ / kLeafKeyFile);
  EXPECT_EQ(Mode(folder_ / kCaKeyFile), 0600u);
  EXPECT_EQ(Mode(folder_ / kLeafKeyFile), 0600u);
  EXPECT_EQ(Mode(folder_ / kCaCertificateFile), 0600u);
  EXPECT_EQ(Mode(folder_ / kLeafCertificateFile), 0600u);
  EXPECT_EQ(Mode(folder_), 0700u);
  // Nothing is left behind from the temporary names.
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 4);
}

// The leaf is good for exactly the loopback names, and the CA could not vouch for more.
TEST_F(ServerCertificateTest, LeafVerifiesForLoopbackNamesOnly) {
  Ensure();
  const auto chain = ReadPem(result_.tls.certificate_chain);
  struct Case {
    const char* name;
    bool ip;
    bool valid;
  };
  for (const Case& c :
       {Case{"localhost", false, true}, Case{"127.0.0.1", true, true}, Case{"::1", true, true},
        Case{"example.com", false, false}, Case{"127.0.0.2", true, false}}) {
    StorePtr store(X509_STORE_new());
    X509_STORE_add_cert(store.get(), Ca().get());
    StoreContextPtr context(X509_STORE_CTX_new());
    ASSERT_EQ(X509_STORE_CTX_init(context.get(), store.get(), chain[0].get(), nullptr), 1);
    X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_SSL_SERVER);
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
    if (c.ip) {
      X509_VERIFY_PARAM_set1_ip_asc(param, c.name);
    } else {
      X509_VERIFY_PARAM_set1_host(param, c.name, 0);
    }
    EXPECT_EQ(X509_verify_cert(context.get()) == 1, c.valid)
        << c.name << ": " << X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get()));
  }

  const auto ca = Ca();
  int critical = 0;
  NameConstraintsPtr constraints(static_cast<NAME_CONSTRAINTS*>(
      X509_get_ext_d2i(ca.get(), NID_name_constraints, &critical, nullptr)));
  ASSERT_TRUE(constraints);
  EXPECT_EQ(critical, 1);
  EXPECT_EQ(sk_GENERAL_SUBTREE_num(constraints->permittedSubtrees), 3);
  EXPECT_EQ(constraints->excludedSubtrees, nullptr);
  EXPECT_EQ(X509_check_ca(ca.get()), 1);
  EXPECT_EQ(X509_get_pathlen(ca.get()), 0);

  GeneralNamesPtr names(static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(chain[0].get(), NID_subject_alt_name, nullptr, nullptr)));
  ASSERT_TRUE(names);
  EXPECT_EQ(sk_GENERAL_NAME_num(names.get()), 3);
  EXPECT_EQ(X509_check_ca(chain[0].get()), 0);
  EXPECT_EQ(X509_get_extended_key_usage(chain[0].get()), static_cast<uint32_t>(XKU_SSL_SERVER));
}

TEST_F(ServerCertificateTest, SerialsAreRandomPositiveAndAtMost159Bits) {
  const Serials first = Ensure();
  EXPECT_NE(first.ca, first.leaf);
  const CertificatePtr ca = Ca();
  const CertificatePtr leaf = Leaf();
  for (X509* certificate : {ca.get(), leaf.get()}) {
    EXPECT_GT(SerialBits(certificate), 64);
    EXPECT_LE(SerialBits(certificate), 159);
  }
  fs::remove_all(folder_);
  const Serials second = Ensure();
  EXPECT_NE(second.ca, first.ca);
  EXPECT_NE(second.leaf, first.leaf);
}

// What a later call keeps and what it makes anew, after a first call with the given
// lifetimes and then some damage to the files.
TEST_F(ServerCertificateTest, ReusesWhatIsValidAndRenewsTheRest) {
  struct Case {
    const char* what;
    CertificateLifetimes first;
    std::function<void(const fs::path&)> damage;
    bool new_ca;
    bool new_leaf;
  };
  const auto none = [](const fs::path&) {};
  const std::vector<Case> cases = {
      {"all valid", {}, none, false, false},
      {"leaf ends in 29 days", {.leaf_days = 29}, none, false, true},
      {"leaf ends in 31 days", {.leaf_days = 31}, none, false, false},
      {"CA ends in 59 days", {.ca_days = 59}, none, true, true},
      {"CA ends in 61 days", {.ca_days = 61, .leaf_days = 61}, none, false, false},
      {"leaf key broken",
       {},
       [](const fs::path& f) { test::WriteFileBytes(f / kLeafKeyFile, "garbage"); },
       false,
       true},
      {"leaf key of another pair",
       {},
       [](const fs::path& f) {
         fs::copy_file(f / kCaKeyFile, f / kLeafKeyFile, fs::copy_options::overwrite_existing);
       },
       false,
       true},
      {"chain missing",
       {},
       [](const fs::path& f) { fs::remove(f / kLeafCertificateFile); },
       false,
       true},
      {"CA key missing", {}, [](const fs::path& f) { fs::remove(f / kCaKeyFile); }, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(folder_);
    const Serials before = Ensure(c.first);
    c.damage(folder_);
    const Serials after = Ensure();
    EXPECT_EQ(after.ca != before.ca, c.new_ca);
    EXPECT_EQ(after.leaf != before.leaf, c.new_leaf);
    EXPECT_EQ(Mode(folder_ / kLeafKeyFile), 0600u);
  }
}

TEST_F(ServerCertificateTest, ReportsAFolderThatCannotBeMade) {
  fs::create_directories(folder_.parent_path());
  test::WriteFileBytes(folder_, "a file where the folder should be");
  std::string error;
  EXPECT_FALSE(EnsureServerCertificate(folder_, &result_, &error));
  EXPECT_NE(error.find(folder_.string()), std::string::npos) << error;
}

}  // namespace
}  // namespace vemo::platform
