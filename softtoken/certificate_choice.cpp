#include "softtoken/certificate_choice.h"

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/x509v3.h>

#include <ctime>

#include "softtoken/avest_codes.h"

namespace vemo::token {
namespace {

std::optional<int64_t> Seconds(const ASN1_TIME* time) {
  struct tm parts {};
  if (!time || ASN1_TIME_to_tm(time, &parts) != 1) return std::nullopt;
  return static_cast<int64_t>(::timegm(&parts));
}

bool ForSigning(const CertificateFacts& c) {
  return !c.has_key_usage || c.digital_signature || c.non_repudiation;
}

}  // namespace

std::optional<CertificateFacts> ReadFacts(X509* certificate) {
  CertificateFacts facts;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &digest_length) != 1) return std::nullopt;
  static constexpr char kHex[] = "0123456789abcdef";
  for (unsigned int i = 0; i < digest_length; ++i) {
    facts.fingerprint += kHex[digest[i] >> 4];
    facts.fingerprint += kHex[digest[i] & 0xF];
  }
  unsigned char* name = nullptr;
  const int name_length = i2d_X509_NAME(X509_get_subject_name(certificate), &name);
  if (name_length < 0) return std::nullopt;
  facts.holder.assign(reinterpret_cast<const char*>(name), static_cast<size_t>(name_length));
  OPENSSL_free(name);
  // Basic constraints CA, a key usage with keyCertSign alone, or a version 1 root.
  facts.authority = X509_check_ca(certificate) != 0;
  const uint32_t usage = X509_get_key_usage(certificate);
  facts.has_key_usage = usage != UINT32_MAX;
  facts.digital_signature = facts.has_key_usage && (usage & KU_DIGITAL_SIGNATURE);
  facts.non_repudiation = facts.has_key_usage && (usage & KU_NON_REPUDIATION);
  const auto not_before = Seconds(X509_get0_notBefore(certificate));
  const auto not_after = Seconds(X509_get0_notAfter(certificate));
  if (!not_before || !not_after) return std::nullopt;
  facts.not_before = *not_before;
  facts.not_after = *not_after;
  return facts;
}

Choice ChooseCertificate(const std::vector<CertificateFacts>& certificates, int64_t now,
                         std::string_view last_signer) {
  std::vector<size_t> fitting;
  bool personal = false, for_signing = false, not_yet_valid = false;
  for (size_t i = 0; i < certificates.size(); ++i) {
    const CertificateFacts& c = certificates[i];
    if (c.authority) continue;
    personal = true;
    if (!ForSigning(c)) continue;
    for_signing = true;
    if (now < c.not_before) {
      not_yet_valid = true;
    } else if (now <= c.not_after) {
      fitting.push_back(i);
    }
  }
  if (fitting.empty()) {
    if (not_yet_valid) return {std::nullopt, kNotYetValid};
    if (for_signing) return {std::nullopt, kExpired};
    return {std::nullopt, personal ? kNotForSigning : kNoCertificate};
  }
  for (size_t i : fitting) {
    if (!last_signer.empty() && certificates[i].fingerprint == last_signer) return {i, kOk};
  }
  size_t best = fitting.front();
  for (size_t i : fitting) {
    const CertificateFacts& c = certificates[i];
    const CertificateFacts& b = certificates[best];
    if (c.holder != b.holder) return {std::nullopt, kSeveral};
    if (c.non_repudiation != b.non_repudiation) {
      if (c.non_repudiation) best = i;
    } else if (c.not_before > b.not_before) {
      best = i;
    }
  }
  return {best, kOk};
}

}  // namespace vemo::token
