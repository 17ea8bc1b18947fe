#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/fakes/scoped_env.h"
#include "tests/fakes/test_support.h"

namespace vemo::test {

inline constexpr char kTokenPin[] = "12%34 5";  // a space and a percent sign travel too

// A certificate and its key pair on a test token: self-signed, valid from..to days from now.
struct CertificateOrder {
  std::string key = "ec";                                 // or "rsa"
  std::string usage = "digitalSignature,nonRepudiation";  // "none": no key-usage extension;
                                                          // "ca": an issuer's certificate
  int from = -1;
  int to = 365;
  std::string holder = "Иван Петров";
  bool with_key = true;
};

// A user's machine with tokens: a temporary HOME in which p11-kit finds SoftHSM2 through a
// module file of the user's (replacing the system's own registration of it), SoftHSM2 keeping
// its tokens in that HOME, and the scripted pinentry first on the PATH. Main thread only.
class TokenMachine {
 public:
  TokenMachine();

  // A new token; returns its identity (maker/model/serial).
  std::string AddToken(const std::string& label, const std::string& pin = kTokenPin);
  // A certificate on the token; returns the file with its PEM.
  std::filesystem::path AddCertificate(const std::string& token, const CertificateOrder& order,
                                       const std::string& pin = kTokenPin);
  // Takes every token away.
  void RemoveTokens();

  // What the scripted pinentry answers, one line for each prompt (see scripted_pinentry/).
  void SetAnswers(const std::vector<std::string>& answers);
  // One line for each prompt shown: its description and error, percent-escaped.
  std::vector<std::string> Prompts() const;

  TempHome& home() { return home_; }
  std::filesystem::path SoftwareCertificate() const;
  std::filesystem::path SignerMemoryFile() const;

 private:
  TempHome home_;
  std::filesystem::path tokens_;
  std::filesystem::path pinentry_;
  std::optional<ScopedEnv> softhsm_conf_, path_, scripted_pinentry_;
  int certificates_ = 0;
};

// Runs a program; its standard output. Fails the test when it does not end with 0.
std::string RunProgram(const std::vector<std::string>& arguments);

// The SHA-256 fingerprint of the certificate in the PEM file, as the module writes it.
std::string Fingerprint(const std::filesystem::path& certificate_pem);

// A detached DER SignedData over the document, made with the certificate in the PEM file,
// which is the only trust anchor.
::testing::AssertionResult VerifiesWith(const std::string& der, const std::string& document,
                                        const std::filesystem::path& certificate_pem);

}  // namespace vemo::test
