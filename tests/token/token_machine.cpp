#include "tests/token/token_machine.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/pem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/openssl_ptr.h"
#include "softtoken/certificate_choice.h"

namespace vemo::test {
namespace {

using platform::FreeWith;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

TokenMachine::TokenMachine()
    : tokens_(home_.path() / "softhsm-tokens"), pinentry_(home_.path() / "pinentry") {
  std::filesystem::create_directories(tokens_);
  std::filesystem::create_directories(pinentry_);
  WriteFileBytes(home_.path() / "softhsm2.conf", "directories.tokendir = " + tokens_.string() +
                                                     "\nobjectstore.backend = file\n"
                                                     "log.level = ERROR\n");
  softhsm_conf_.emplace("SOFTHSM2_CONF", (home_.path() / "softhsm2.conf").string());
  // The user's own registration, under the name of the system's: it replaces that one.
  const auto modules = home_.path() / ".config" / "pkcs11" / "modules";
  std::filesystem::create_directories(modules);
  WriteFileBytes(modules / "softhsm2.module", "module: " + Env("VEMO_SOFTHSM2_MODULE") + "\n");
  path_.emplace("PATH", Env("VEMO_SCRIPTED_PINENTRY_DIR") + ":" + Env("PATH"));
  scripted_pinentry_.emplace("SCRIPTED_PINENTRY", pinentry_.string());
  SetAnswers({"fail"});
}

std::string TokenMachine::AddToken(const std::string& label, const std::string& pin) {
  std::string identity =
      RunProgram({Env("VEMO_TEST_BIN_DIR") + "/vemo_test_token", "init", label, pin});
  while (!identity.empty() && identity.back() == '\n') identity.pop_back();
  return identity;
}

std::filesystem::path TokenMachine::AddCertificate(const std::string& token,
                                                   const CertificateOrder& order,
                                                   const std::string& pin) {
  const auto file = home_.path() / ("certificate-" + std::to_string(++certificates_) + ".pem");
  std::vector<std::string> arguments = {Env("VEMO_TEST_BIN_DIR") + "/vemo_test_token",
                                        "add",
                                        token,
                                        pin,
                                        file.string(),
                                        order.key,
                                        order.usage,
                                        std::to_string(order.from),
                                        std::to_string(order.to),
                                        order.holder};
  if (!order.with_key) arguments.push_back("no-key");
  RunProgram(arguments);
  return file;
}

void TokenMachine::RemoveTokens() {
  std::filesystem::remove_all(tokens_);
  std::filesystem::create_directories(tokens_);
}

void TokenMachine::SetAnswers(const std::vector<std::string>& answers) {
  std::string text;
  for (const auto& answer : answers) text += answer + "\n";
  WriteFileBytes(pinentry_ / "answers", text);
}

std::vector<std::string> TokenMachine::Prompts() const {
  std::vector<std::string> lines;
  std::istringstream text(ReadFileBytes(pinentry_ / "prompts"));
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

std::filesystem::path TokenMachine::SoftwareCertificate() const {
  return home_.DataFolder() / "softtoken" / "cert.pem";
}

std::filesystem::path TokenMachine::SignerMemoryFile() const {
  return home_.DataFolder() / "softtoken" / "token-signer";
}

std::string RunProgram(const std::vector<std::string>& arguments) {
  int out[2];
  if (::pipe(out) != 0) {
    ADD_FAILURE() << "pipe";
    return "";
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::close(out[1]);
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  std::string output;
  char chunk[512];
  for (ssize_t got; (got = ::read(out[0], chunk, sizeof chunk)) > 0;) {
    output.append(chunk, static_cast<size_t>(got));
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << arguments[0] << " " << arguments[1];
  return output;
}

std::string Fingerprint(const std::filesystem::path& certificate_pem) {
  const std::string pem = ReadFileBytes(certificate_pem);
  std::unique_ptr<BIO, FreeWith<BIO_free_all>> bio(
      BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  std::unique_ptr<X509, FreeWith<X509_free>> certificate(
      PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  const auto facts = certificate ? token::ReadFacts(certificate.get()) : std::nullopt;
  return facts ? facts->fingerprint : "";
}

::testing::AssertionResult VerifiesWith(const std::string& der, const std::string& document,
                                        const std::filesystem::path& certificate_pem) {
  using Bio = std::unique_ptr<BIO, FreeWith<BIO_free_all>>;
  const std::string pem = ReadFileBytes(certificate_pem);
  Bio pem_bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  std::unique_ptr<X509, FreeWith<X509_free>> certificate(
      PEM_read_bio_X509(pem_bio.get(), nullptr, nullptr, nullptr));
  if (!certificate) return ::testing::AssertionFailure() << "no certificate in " << certificate_pem;
  std::unique_ptr<X509_STORE, FreeWith<X509_STORE_free>> store(X509_STORE_new());
  X509_STORE_add_cert(store.get(), certificate.get());
  const auto* in = reinterpret_cast<const unsigned char*>(der.data());
  std::unique_ptr<CMS_ContentInfo, FreeWith<CMS_ContentInfo_free>> cms(
      d2i_CMS_ContentInfo(nullptr, &in, static_cast<long>(der.size())));
  if (!cms) return ::testing::AssertionFailure() << "not DER CMS";
  if (in != reinterpret_cast<const unsigned char*>(der.data()) + der.size()) {
    return ::testing::AssertionFailure() << "bytes after the CMS structure";
  }
  if (CMS_get0_eContentType(cms.get()) == nullptr || !CMS_is_detached(cms.get())) {
    return ::testing::AssertionFailure() << "not detached";
  }
  Bio data(BIO_new_mem_buf(document.data(), static_cast<int>(document.size())));
  if (CMS_verify(cms.get(), nullptr, store.get(), data.get(), nullptr, CMS_BINARY) != 1) {
    return ::testing::AssertionFailure() << "CMS_verify refused the signature";
  }
  return ::testing::AssertionSuccess();
}

}  // namespace vemo::test
