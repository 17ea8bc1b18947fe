#pragma once

#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vemo::token {

// What the choice of a signing certificate needs to know of one certificate on a token.
struct CertificateFacts {
  std::string fingerprint;  // SHA-256 of the DER encoding, lower-case hexadecimal
  std::string holder;       // the subject name, DER: two certificates of one person share it
  bool authority = false;   // an issuer's certificate that a token may carry beside the user's
  bool has_key_usage = false;
  bool digital_signature = false;
  bool non_repudiation = false;
  int64_t not_before = 0;  // seconds since the epoch
  int64_t not_after = 0;
};

// nullopt when the certificate's dates cannot be read.
std::optional<CertificateFacts> ReadFacts(X509* certificate);

struct Choice {
  std::optional<size_t> index;  // the certificate to sign with
  int32_t code = 0;             // when there is none, why (an Avest code)
};

// Chooses the certificate a user would expect to sign with among the certificates found on
// the tokens present:
//   - only personal certificates count, not the issuers' certificates a token may carry;
//   - a certificate fits when its key usage allows digitalSignature or nonRepudiation (a
//     certificate without the key-usage extension is not restricted) and it is valid now;
//   - the certificate that signed last time (last_signer, a fingerprint) wins while it fits;
//   - otherwise the fitting certificates must all be one holder's (the same subject name):
//     several holders' certificates is kSeveral, since no rule can tell whose token was meant;
//     of one holder's, a nonRepudiation certificate comes before one for digitalSignature
//     only (a card's signing certificate beside its authentication certificate), then the
//     latest issued (a renewed certificate beside the old one), then the first found.
// Where none fits, the code says why, the nearest miss first: kNotYetValid, kExpired (of the
// certificates for signing), kNotForSigning (personal certificates, none for signing),
// kNoCertificate.
Choice ChooseCertificate(const std::vector<CertificateFacts>& certificates, int64_t now,
                         std::string_view last_signer);

}  // namespace vemo::token
