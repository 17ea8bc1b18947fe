#include "softtoken/cms_signature.h"

#include <openssl/asn1t.h>
#include <openssl/cms.h>
#include <openssl/pkcs7.h>

#include <climits>
#include <memory>

#include "platform/openssl_ptr.h"
#include "softtoken/avest_codes.h"

namespace vemo::token {
namespace {

using platform::FreeWith;
using Bio = std::unique_ptr<BIO, FreeWith<BIO_free_all>>;
using Cms = std::unique_ptr<CMS_ContentInfo, FreeWith<CMS_ContentInfo_free>>;
using Time = std::unique_ptr<ASN1_TIME, FreeWith<ASN1_TIME_free>>;
// Frees the stack only: its attributes stay the signer's.
struct StackFree {
  void operator()(STACK_OF(X509_ATTRIBUTE) * stack) const { sk_X509_ATTRIBUTE_free(stack); }
};
using Attributes = std::unique_ptr<STACK_OF(X509_ATTRIBUTE), StackFree>;

std::optional<std::string> Der(CMS_ContentInfo* cms) {
  const int size = i2d_CMS_ContentInfo(cms, nullptr);
  if (size <= 0) return std::nullopt;
  std::string der(static_cast<size_t>(size), '\0');
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  if (i2d_CMS_ContentInfo(cms, &out) != size) return std::nullopt;
  return der;
}

std::optional<std::string> Sha256(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    return std::nullopt;
  }
  return std::string(reinterpret_cast<const char*>(digest), length);
}

}  // namespace

std::optional<std::string> SignDetached(X509* certificate, EVP_PKEY* key,
                                        std::string_view document) {
  if (document.size() > static_cast<size_t>(INT_MAX)) return std::nullopt;
  Bio data(
      BIO_new_mem_buf(document.empty() ? "" : document.data(), static_cast<int>(document.size())));
  if (!data) return std::nullopt;
  Cms cms(
      CMS_sign(certificate, key, nullptr, data.get(), CMS_DETACHED | CMS_BINARY | CMS_NOSMIMECAP));
  if (!cms) return std::nullopt;
  return Der(cms.get());
}

int32_t SignDetachedWith(X509* certificate, std::string_view document, const DigestSigner& sign,
                         std::string* der) {
  // The certificate's public key stands in for the private key: it names the algorithms.
  EVP_PKEY* public_key = X509_get0_pubkey(certificate);
  Cms cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, CMS_PARTIAL | CMS_DETACHED | CMS_BINARY));
  if (!public_key || !cms) return kFailure;
  CMS_SignerInfo* signer = CMS_add1_signer(cms.get(), certificate, public_key, EVP_sha256(),
                                           CMS_BINARY | CMS_NOSMIMECAP | CMS_PARTIAL);
  const auto content_digest = Sha256(document);
  Time now(X509_gmtime_adj(nullptr, 0));
  if (!signer || !content_digest || !now ||
      CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_contentType, V_ASN1_OBJECT,
                                  OBJ_nid2obj(NID_pkcs7_data), -1) != 1 ||
      CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_signingTime, now->type, now.get(), -1) != 1 ||
      CMS_signed_add1_attr_by_NID(signer, NID_pkcs9_messageDigest, V_ASN1_OCTET_STRING,
                                  content_digest->data(),
                                  static_cast<int>(content_digest->size())) != 1) {
    return kFailure;
  }
  // The signature covers the DER of the signed attributes as a SET OF, in DER order: the
  // same encoding that the SignerInfo carries.
  Attributes attributes(sk_X509_ATTRIBUTE_new_null());
  if (!attributes) return kFailure;
  for (int i = 0; i < CMS_signed_get_attr_count(signer); ++i) {
    if (sk_X509_ATTRIBUTE_push(attributes.get(), CMS_signed_get_attr(signer, i)) <= 0) {
      return kFailure;
    }
  }
  unsigned char* encoded = nullptr;
  const int encoded_length = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(attributes.get()),
                                           &encoded, ASN1_ITEM_rptr(PKCS7_ATTR_SIGN));
  if (encoded_length <= 0) return kFailure;
  const auto attributes_digest = Sha256(std::string_view(reinterpret_cast<const char*>(encoded),
                                                         static_cast<size_t>(encoded_length)));
  OPENSSL_free(encoded);
  if (!attributes_digest) return kFailure;
  std::string value;
  if (const int32_t code = sign(*attributes_digest, &value); code != kOk) return code;
  if (value.size() > static_cast<size_t>(INT_MAX) ||
      ASN1_STRING_set(CMS_SignerInfo_get0_signature(signer), value.data(),
                      static_cast<int>(value.size())) != 1) {
    return kFailure;
  }
  auto bytes = Der(cms.get());
  if (!bytes) return kFailure;
  *der = std::move(*bytes);
  return kOk;
}

}  // namespace vemo::token
