// Runs where no vendor module can be found: the loader falls back to the bundled software
// token, whose signatures must verify with OpenSSL.

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/files.h"
#include "platform/outside_modules.h"
#include "tests/fakes/scoped_env.h"
#include "tests/fakes/test_support.h"

namespace vemo::platform {
namespace {

using test::ReadFileBytes;
using test::TempHome;

constexpr int32_t kNotLoggedIn = static_cast<int32_t>(0xE82A014Au);

struct BioFree {
  void operator()(BIO* bio) const { BIO_free_all(bio); }
};
struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct StoreFree {
  void operator()(X509_STORE* store) const { X509_STORE_free(store); }
};
struct CmsFree {
  void operator()(CMS_ContentInfo* cms) const { CMS_ContentInfo_free(cms); }
};

// A detached DER SignedData over the document, made by the token's certificate, which is
// the only trust anchor.
::testing::AssertionResult VerifiesWithTokenCertificate(const std::string& der,
                                                        const std::string& document,
                                                        const std::filesystem::path& cert_file) {
  const std::string pem = ReadFileBytes(cert_file);
  std::unique_ptr<BIO, BioFree> pem_bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  std::unique_ptr<X509, X509Free> cert(PEM_read_bio_X509(pem_bio.get(), nullptr, nullptr, nullptr));
  if (!cert) return ::testing::AssertionFailure() << "no certificate in " << cert_file;
  std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
  X509_STORE_add_cert(store.get(), cert.get());
  const auto* in = reinterpret_cast<const unsigned char*>(der.data());
  std::unique_ptr<CMS_ContentInfo, CmsFree> cms(
      d2i_CMS_ContentInfo(nullptr, &in, static_cast<long>(der.size())));
  if (!cms) return ::testing::AssertionFailure() << "not DER CMS";
  if (in != reinterpret_cast<const unsigned char*>(der.data()) + der.size()) {
    return ::testing::AssertionFailure() << "bytes after the CMS structure";
  }
  std::unique_ptr<BIO, BioFree> data(
      BIO_new_mem_buf(document.data(), static_cast<int>(document.size())));
  if (CMS_verify(cms.get(), nullptr, store.get(), data.get(), nullptr, CMS_BINARY) != 1) {
    return ::testing::AssertionFailure() << "CMS_verify refused the signature";
  }
  return ::testing::AssertionSuccess();
}

class SoftTokenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error, missing;
    library_ = AvCryptMail::Load(&error, &missing);
    ASSERT_TRUE(library_) << error;
    fcp_ = Fcp::Get(&error);
    ASSERT_NE(fcp_, nullptr) << error;
  }

  std::filesystem::path TokenFolder() const { return home_.DataFolder() / "softtoken"; }

  int32_t Sign(AvCmHandle handle, const std::string& document, std::string* signature,
               int32_t capacity = 8192) const {
    std::string buffer(static_cast<size_t>(capacity), '\0');
    int32_t length = 0;
    const int32_t result = fcp_->SignAvest(
        library_->SignAddress(), handle, reinterpret_cast<const uint8_t*>(document.data()),
        static_cast<uint32_t>(document.size()), reinterpret_cast<uint8_t*>(buffer.data()), capacity,
        &length);
    signature->assign(buffer.data(), static_cast<size_t>(length));
    return result;
  }

  TempHome home_;
  std::unique_ptr<AvCryptMail> library_;
  const Fcp* fcp_ = nullptr;
};

TEST_F(SoftTokenTest, StandsInForBothModules) {
  std::string error;
  for (const char* name : {kAvCryptMailModule, kFcpModule}) {
    auto module = Module::LoadOutside(name, &error);
    ASSERT_TRUE(module) << error;
    EXPECT_EQ(module->file(), BundledModulePath().string());
  }
}

TEST_F(SoftTokenTest, LoginSignsVerifiablyAndKeepsItsKey) {
  ASSERT_EQ(library_->Init(1), 0);
  AvCmHandle handle = 0;
  ASSERT_EQ(library_->Login(&handle, 8), 0);
  EXPECT_NE(handle, 0u);

  struct stat st {};
  ASSERT_EQ(::stat((TokenFolder() / "key.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string key_before = ReadFileBytes(TokenFolder() / "key.pem");

  const std::string document = std::string("document \0 with binary\r\n bytes", 31) + "\xC0\xFF";
  std::string signature;
  ASSERT_EQ(Sign(handle, document, &signature), 0);
  EXPECT_TRUE(VerifiesWithTokenCertificate(signature, document, TokenFolder() / "cert.pem"));
  EXPECT_FALSE(VerifiesWithTokenCertificate(signature, document + "x", TokenFolder() / "cert.pem"));

  // A second login in the same folder signs with the same key.
  AvCmHandle second = 0;
  ASSERT_EQ(library_->Login(&second, 8), 0);
  EXPECT_NE(second, handle);
  EXPECT_EQ(Sign(second, "", &signature), 0);
  EXPECT_TRUE(VerifiesWithTokenCertificate(signature, "", TokenFolder() / "cert.pem"));
  EXPECT_EQ(ReadFileBytes(TokenFolder() / "key.pem"), key_before);

  EXPECT_EQ(library_->Logout(handle, 0), 0);
  EXPECT_EQ(library_->Logout(second, 0), 0);
  EXPECT_EQ(library_->Init(2), 0);
}

// The token keeps its key in the program's own data folder, found by the program's rules.
TEST_F(SoftTokenTest, KeepsItsFilesWhereTheProgramKeepsItsOwn) {
  const std::string home = home_.path().string();
  struct Case {
    std::optional<std::string> config_home;
    std::string folder;
  };
  const Case cases[] = {
      {home + "/elsewhere", home + "/elsewhere/Tramontel_Vemo_Server_Crypt/softtoken"},
      {home + "/slash/", home + "/slash/Tramontel_Vemo_Server_Crypt/softtoken"},
      {"relative", home + "/.config/Tramontel_Vemo_Server_Crypt/softtoken"},
      {"", home + "/.config/Tramontel_Vemo_Server_Crypt/softtoken"},
      {std::nullopt, home + "/.config/Tramontel_Vemo_Server_Crypt/softtoken"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config_home.value_or("(unset)"));
    test::ScopedEnv config_home("XDG_CONFIG_HOME", c.config_home);
    ASSERT_EQ(DataFolder() / "softtoken", std::filesystem::path(c.folder));
    AvCmHandle handle = 0;
    ASSERT_EQ(library_->Login(&handle, 0), 0);
    std::string signature;
    ASSERT_EQ(Sign(handle, "document", &signature), 0);
    EXPECT_TRUE(VerifiesWithTokenCertificate(signature, "document", c.folder + "/cert.pem"));
    struct stat st {};
    ASSERT_EQ(::stat(c.folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat((c.folder + "/key.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(library_->Logout(handle, 0), 0);
  }
}

TEST_F(SoftTokenTest, RefusesWhatCannotBeSigned) {
  AvCmHandle handle = 0;
  ASSERT_EQ(library_->Login(&handle, 0), 0);
  std::string signature;
  const int32_t too_small = Sign(handle, "document", &signature, 64);
  EXPECT_NE(too_small, 0);
  EXPECT_TRUE(signature.empty());
  EXPECT_EQ(Sign(handle + 1000, "document", &signature), kNotLoggedIn);
  ASSERT_EQ(library_->Logout(handle, 0), 0);
  EXPECT_EQ(Sign(handle, "document", &signature), kNotLoggedIn);
  EXPECT_EQ(library_->Logout(handle, 0), kNotLoggedIn);
}

TEST_F(SoftTokenTest, SignEnigmaAppendsTheSignatureToTheFile) {
  const auto temp = UserTempFolder();
  ASSERT_TRUE(temp);
  const std::filesystem::path file = *temp / "sign.tmp";
  const std::string document(1000, '\x5A');
  ASSERT_TRUE(CreateAndWriteFile(file, document));
  for (const char* password : {"", "any password"}) {
    SCOPED_TRACE(password);
    ASSERT_EQ(fcp_->SignEnigma("/nowhere/", file.c_str(), password), 0);
    const auto signature = ReadFileFrom(file, document.size());
    ASSERT_TRUE(signature);
    EXPECT_EQ(ReadFileBytes(file).substr(0, document.size()), document);
    EXPECT_TRUE(VerifiesWithTokenCertificate(*signature, document, TokenFolder() / "cert.pem"));
    ASSERT_TRUE(DeleteFile(file));
    ASSERT_TRUE(CreateAndWriteFile(file, document));
  }
  EXPECT_EQ(fcp_->SignEnigma("/nowhere/", (*temp / "missing.tmp").c_str(), ""), 256);
}

}  // namespace
}  // namespace vemo::platform
