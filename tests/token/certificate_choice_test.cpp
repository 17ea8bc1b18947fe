// The rule that chooses the signing certificate among those the tokens show.

#include "softtoken/certificate_choice.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "softtoken/avest_codes.h"

namespace vemo::token {
namespace {

constexpr int64_t kNow = 1'700'000'000;
constexpr int64_t kDay = 86'400;

struct Cert {
  std::string name;
  std::string holder = "A";
  bool authority = false;
  std::optional<std::pair<bool, bool>> usage = std::pair{true, true};  // digital, non-repud.
  int64_t from = -10;                                                  // days from now
  int64_t to = 100;
};

CertificateFacts Facts(const Cert& c) {
  CertificateFacts f;
  f.fingerprint = "fp-" + c.name;
  f.holder = c.holder;
  f.authority = c.authority;
  f.has_key_usage = c.usage.has_value();
  f.digital_signature = c.usage && c.usage->first;
  f.non_repudiation = c.usage && c.usage->second;
  f.not_before = kNow + c.from * kDay;
  f.not_after = kNow + c.to * kDay;
  return f;
}

TEST(CertificateChoiceTest, ChoosesAsTheRuleSays) {
  const std::pair<bool, bool> kAuthentication{true, false}, kSigning{false, true},
      kEncryption{false, false};
  struct Case {
    const char* name;
    std::vector<Cert> certificates;
    std::string last_signer;
    std::string chosen;  // "" when none
    int32_t code;
  };
  const Case cases[] = {
      {"nothing", {}, "", "", kNoCertificate},
      {"one", {{"a"}}, "", "a", kOk},
      {"no key usage is no restriction", {{"a", "A", false, std::nullopt}}, "", "a", kOk},
      {"issuers' certificates are not the user's", {{"ca", "CA", true}, {"a"}}, "", "a", kOk},
      {"only an issuer's", {{"ca", "CA", true}}, "", "", kNoCertificate},
      {"signing before authentication",
       {{"auth", "A", false, kAuthentication}, {"sign", "A", false, kSigning}},
       "",
       "sign",
       kOk},
      {"the renewed one",
       {{"old", "A", false, kSigning, -300, 60}, {"new", "A", false, kSigning, -5, 360}},
       "",
       "new",
       kOk},
      {"the one that signed last",
       {{"old", "A", false, kSigning, -300, 60}, {"new", "A", false, kSigning, -5, 360}},
       "fp-old",
       "old",
       kOk},
      {"the last signer even among holders", {{"a", "A"}, {"b", "B"}}, "fp-b", "b", kOk},
      {"two holders", {{"a", "A"}, {"b", "B"}}, "", "", kSeveral},
      {"two holders, last signer expired",
       {{"a", "A"}, {"b", "B", false, kSigning, -300, -1}, {"c", "C"}},
       "fp-b",
       "",
       kSeveral},
      {"an expired one does not count",
       {{"a", "A"}, {"b", "B", false, kSigning, -300, -1}},
       "",
       "a",
       kOk},
      {"validity ends at the last second", {{"a", "A", false, kSigning, -300, 0}}, "", "a", kOk},
      {"expired", {{"a", "A", false, kSigning, -300, -1}}, "", "", kExpired},
      {"not yet valid before expired",
       {{"old", "A", false, kSigning, -300, -1}, {"new", "A", false, kSigning, 1, 300}},
       "",
       "",
       kNotYetValid},
      {"not for signing", {{"enc", "A", false, kEncryption}}, "", "", kNotForSigning},
      {"an expired signing one is nearer than one not for signing",
       {{"enc", "A", false, kEncryption}, {"old", "A", false, kSigning, -300, -1}},
       "",
       "",
       kExpired},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<CertificateFacts> facts;
    for (const Cert& cert : c.certificates) facts.push_back(Facts(cert));
    const Choice choice = ChooseCertificate(facts, kNow, c.last_signer);
    EXPECT_EQ(choice.code, c.code);
    ASSERT_EQ(choice.index.has_value(), !c.chosen.empty());
    if (choice.index) {
      EXPECT_EQ(c.certificates[*choice.index].name, c.chosen);
    }
  }
}

}  // namespace
}  // namespace vemo::token
