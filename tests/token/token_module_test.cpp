// The bundled module with real tokens: SoftHSM2 registered with p11-kit in a temporary HOME,
// reached through the program's own module loader, the PIN from the scripted pinentry.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "platform/outside_modules.h"
#include "softtoken/avest_codes.h"
#include "tests/token/token_machine.h"

namespace vemo::test {
namespace {

using platform::AvCryptMail;
using platform::Fcp;
namespace codes = vemo::token;

const std::string kAnswer = std::string("pin ") + kTokenPin;
const std::string kDocument = std::string("платёжное поручение \0 №1", 40);

class TokenModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error, missing;
    library_ = AvCryptMail::Load(&error, &missing);
    ASSERT_TRUE(library_) << error;
    ASSERT_EQ(library_->SignAddress() != nullptr, true);
    fcp_ = Fcp::Get(&error);
    ASSERT_NE(fcp_, nullptr) << error;
  }
  void TearDown() override { EXPECT_EQ(library_->Init(2), 0); }

  // The module released and loaded again, as a service stop and start do: it sees the
  // tokens and registrations of now.
  void Restart() {
    ASSERT_EQ(library_->Init(2), 0);
    ASSERT_EQ(library_->Init(1), 0);
  }
  int32_t Sign(AvCmHandle handle, std::string* signature) const {
    std::string buffer(8192, '\0');
    int32_t length = 0;
    const int32_t result = fcp_->SignAvest(
        library_->SignAddress(), handle, reinterpret_cast<const uint8_t*>(kDocument.data()),
        static_cast<uint32_t>(kDocument.size()), reinterpret_cast<uint8_t*>(buffer.data()),
        static_cast<int32_t>(buffer.size()), &length);
    signature->assign(buffer.data(), static_cast<size_t>(length));
    return result;
  }
  // Logs in, signs and logs out; the signature's result.
  int32_t SignOnce(std::string* signature) {
    AvCmHandle handle = 0;
    const int32_t login = library_->Login(&handle, 0);
    if (login != 0) return login;
    const int32_t result = Sign(handle, signature);
    EXPECT_EQ(library_->Logout(handle, 0), 0);
    return result;
  }

  TokenMachine machine_;
  std::unique_ptr<AvCryptMail> library_;
  const Fcp* fcp_ = nullptr;
};

TEST_F(TokenModuleTest, SignsOnTheTokenWithEitherKindOfKey) {
  for (const std::string key : {"ec", "rsa"}) {
    SCOPED_TRACE(key);
    machine_.RemoveTokens();
    const std::string label = "Bank token " + key;
    machine_.AddToken(label);
    const auto certificate = machine_.AddCertificate(label, {.key = key});
    machine_.SetAnswers({kAnswer});
    Restart();
    const size_t prompts_before = machine_.Prompts().size();
    std::string signature;
    ASSERT_EQ(SignOnce(&signature), 0);
    EXPECT_TRUE(VerifiesWith(signature, kDocument, certificate));
    EXPECT_FALSE(VerifiesWith(signature, kDocument + "x", certificate));
    const auto prompts = machine_.Prompts();
    ASSERT_EQ(prompts.size(), prompts_before + 1);
    // The prompt names the token and the certificate's holder.
    EXPECT_NE(prompts.back().find(label), std::string::npos) << prompts.back();
    EXPECT_NE(prompts.back().find("Иван Петров"), std::string::npos) << prompts.back();
    EXPECT_FALSE(ReadFileBytes(machine_.SignerMemoryFile()).empty());
  }
}

// Each way a token signing can fail, as the bank's page will name it.
TEST_F(TokenModuleTest, OutcomesAreTheAvestCodes) {
  struct Case {
    const char* name;
    std::vector<CertificateOrder> certificates;
    std::vector<std::string> answers;
    bool token_signed_before;  // this token signed earlier, with a certificate no longer there
    bool token_present;
    int32_t code;
    size_t prompts;
  };
  const CertificateOrder good;
  const Case cases[] = {
      {"prompt cancelled", {good}, {"cancel"}, false, true, codes::kCancelled, 1},
      {"wrong PIN", {good}, {"pin 0000"}, false, true, codes::kWrongPin, 1},
      {"no prompt can be shown", {good}, {"fail"}, false, true, codes::kFailure, 1},
      {"certificate without its key",
       {{.with_key = false}},
       {kAnswer},
       false,
       true,
       codes::kNoKey,
       1},
      {"certificate not for signing",
       {{.usage = "keyEncipherment"}},
       {kAnswer},
       true,
       true,
       codes::kNotForSigning,
       0},
      {"expired", {{.from = -30, .to = -1}}, {kAnswer}, false, true, codes::kExpired, 0},
      {"not yet valid", {{.from = 2, .to = 30}}, {kAnswer}, false, true, codes::kNotYetValid, 0},
      {"two holders' certificates",
       {good, {.key = "rsa", .holder = "Пётр Иванов"}},
       {kAnswer},
       false,
       true,
       codes::kSeveral,
       0},
      {"token emptied", {}, {kAnswer}, true, true, codes::kNoCertificate, 0},
      {"only an issuer's certificate",
       {{.usage = "ca"}},
       {kAnswer},
       true,
       true,
       codes::kNoCertificate,
       0},
      {"token missing", {}, {kAnswer}, true, false, codes::kNoToken, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine_.RemoveTokens();
    std::filesystem::remove(machine_.SignerMemoryFile());
    if (c.token_present) {
      const std::string identity = machine_.AddToken("Bank token");
      for (const auto& order : c.certificates) machine_.AddCertificate("Bank token", order);
      if (c.token_signed_before) {
        std::filesystem::create_directories(machine_.SignerMemoryFile().parent_path());
        WriteFileBytes(machine_.SignerMemoryFile(), "certificate=0123\ntoken=" + identity + "\n");
      }
    } else if (c.token_signed_before) {
      std::filesystem::create_directories(machine_.SignerMemoryFile().parent_path());
      WriteFileBytes(machine_.SignerMemoryFile(), "certificate=0123\ntoken=gone/away/1\n");
    }
    machine_.SetAnswers(c.answers);
    Restart();
    const size_t prompts_before = machine_.Prompts().size();
    AvCmHandle handle = 0;
    EXPECT_EQ(library_->Login(&handle, 0), c.code);
    EXPECT_EQ(machine_.Prompts().size(), prompts_before + c.prompts);
  }
}

// Before any token has signed, the software key signs where no token holds a certificate for
// signing; after a token has, a missing token is reported.
TEST_F(TokenModuleTest, SoftwareKeyOnlyUntilATokenHasSigned) {
  ASSERT_EQ(library_->Init(1), 0);
  std::string signature;
  ASSERT_EQ(SignOnce(&signature), 0);
  EXPECT_TRUE(VerifiesWith(signature, kDocument, machine_.SoftwareCertificate()));

  // A token with nothing to sign with changes nothing.
  machine_.AddToken("Other token");
  machine_.AddCertificate("Other token", {.usage = "keyEncipherment"});
  Restart();
  ASSERT_EQ(SignOnce(&signature), 0);
  EXPECT_TRUE(VerifiesWith(signature, kDocument, machine_.SoftwareCertificate()));
  EXPECT_TRUE(machine_.Prompts().empty());

  machine_.AddToken("Bank token");
  const auto certificate = machine_.AddCertificate("Bank token", {});
  machine_.SetAnswers({kAnswer});
  Restart();
  ASSERT_EQ(SignOnce(&signature), 0);
  EXPECT_TRUE(VerifiesWith(signature, kDocument, certificate));

  machine_.RemoveTokens();
  Restart();
  AvCmHandle handle = 0;
  EXPECT_EQ(library_->Login(&handle, 0), codes::kNoToken);
  EXPECT_EQ(machine_.Prompts().size(), 1u);
}

// One holder's certificates: the signing one (nonRepudiation) before the authentication one;
// the one that signed last time before both.
TEST_F(TokenModuleTest, ChoosesAmongOneHoldersCertificates) {
  machine_.AddToken("Bank card");
  const auto authentication =
      machine_.AddCertificate("Bank card", {.key = "ec", .usage = "digitalSignature"});
  const auto signing =
      machine_.AddCertificate("Bank card", {.key = "rsa", .usage = "nonRepudiation"});
  machine_.SetAnswers({kAnswer});
  ASSERT_EQ(library_->Init(1), 0);
  std::string signature;
  ASSERT_EQ(SignOnce(&signature), 0);
  EXPECT_TRUE(VerifiesWith(signature, kDocument, signing));
  EXPECT_FALSE(VerifiesWith(signature, kDocument, authentication));

  // The user signed with the authentication certificate last time (another program of the
  // bank's chose it): it stays the one.
  const std::string memory = ReadFileBytes(machine_.SignerMemoryFile());
  ASSERT_NE(memory.find("certificate=" + Fingerprint(signing)), std::string::npos) << memory;
  WriteFileBytes(machine_.SignerMemoryFile(), "certificate=" + Fingerprint(authentication) + "\n" +
                                                  memory.substr(memory.find("token=")));
  ASSERT_EQ(SignOnce(&signature), 0);
  EXPECT_TRUE(VerifiesWith(signature, kDocument, authentication));
}

// Two logins on one token share its login state: the second asks nothing, and the token stays
// logged in until the last of them logs out.
TEST_F(TokenModuleTest, LoginsShareTheTokenUntilTheLastLogsOut) {
  machine_.AddToken("Bank token");
  const auto certificate = machine_.AddCertificate("Bank token", {});
  machine_.SetAnswers({kAnswer});
  ASSERT_EQ(library_->Init(1), 0);
  AvCmHandle first = 0, second = 0;
  ASSERT_EQ(library_->Login(&first, 0), 0);
  ASSERT_EQ(library_->Login(&second, 0), 0);
  EXPECT_NE(first, second);
  EXPECT_EQ(machine_.Prompts().size(), 1u);
  ASSERT_EQ(library_->Logout(first, 0), 0);
  std::string signature;
  ASSERT_EQ(Sign(second, &signature), 0);
  EXPECT_TRUE(VerifiesWith(signature, kDocument, certificate));
  EXPECT_EQ(Sign(first, &signature), codes::kNoToken);
  ASSERT_EQ(library_->Logout(second, 0), 0);
  EXPECT_EQ(library_->Logout(second, 0), codes::kNoToken);
  ASSERT_EQ(library_->Login(&first, 0), 0);
  EXPECT_EQ(machine_.Prompts().size(), 2u);
  EXPECT_EQ(library_->Logout(first, 0), 0);
}

// Releasing the module (the service stops) ends a PIN prompt the user has left open.
TEST_F(TokenModuleTest, ReleaseEndsAPendingPrompt) {
  machine_.AddToken("Bank token");
  machine_.AddCertificate("Bank token", {});
  machine_.SetAnswers({"hang"});
  ASSERT_EQ(library_->Init(1), 0);
  auto login = std::async(std::launch::async, [this] {
    AvCmHandle handle = 0;
    return library_->Login(&handle, 0);
  });
  ASSERT_TRUE(WaitFor([&] { return machine_.Prompts().size() == 1; }));
  EXPECT_EQ(library_->Init(2), 0);
  ASSERT_EQ(login.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(login.get(), codes::kCancelled);
}

}  // namespace
}  // namespace vemo::test
