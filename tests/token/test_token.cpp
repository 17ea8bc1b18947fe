// Puts test tokens into SoftHSM2, a real PKCS#11 token kept in files, by PKCS#11 calls of its
// own (SOFTHSM2_CONF says where the tokens live):
//   vemo_test_token init <label> <pin>
//       a new token; prints its identity as the module sees it (maker/model/serial)
//   vemo_test_token add <label> <pin> <certificate.pem> <ec|rsa> <key usage|none|ca> <from> <to>
//                       <holder> [no-key]
//       a key pair and a self-signed certificate valid from <from> to <to> days from now,
//       with the key usage given (as OpenSSL writes it, e.g. digitalSignature,nonRepudiation);
//       "ca" makes an issuer's certificate. The certificate is also written to the file.

#include <dlfcn.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

CK_FUNCTION_LIST* f = nullptr;

[[noreturn]] void Fail(const std::string& what, CK_RV rv = CKR_OK) {
  std::fprintf(stderr, "vemo_test_token: %s (0x%lX)\n", what.c_str(), rv);
  std::exit(1);
}

void Check(CK_RV rv, const char* what) {
  if (rv != CKR_OK) Fail(what, rv);
}

std::string Padded(const std::string& text, size_t size) {
  std::string out = text.substr(0, size);
  out.resize(size, ' ');
  return out;
}

std::string Trimmed(const unsigned char* text, size_t size) {
  std::string out(reinterpret_cast<const char*>(text), size);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

CK_SLOT_ID SlotOf(const std::string& label, bool initialised) {
  CK_ULONG count = 0;
  Check(f->C_GetSlotList(CK_TRUE, nullptr, &count), "C_GetSlotList");
  std::vector<CK_SLOT_ID> slots(count);
  Check(f->C_GetSlotList(CK_TRUE, slots.data(), &count), "C_GetSlotList");
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_TOKEN_INFO info{};
    Check(f->C_GetTokenInfo(slots[i], &info), "C_GetTokenInfo");
    const bool is_initialised = info.flags & CKF_TOKEN_INITIALIZED;
    if (is_initialised == initialised &&
        (!initialised || Trimmed(info.label, sizeof info.label) == label)) {
      return slots[i];
    }
  }
  Fail("no slot for " + label);
}

CK_SESSION_HANDLE UserSession(const std::string& label, const std::string& pin,
                              CK_USER_TYPE user = CKU_USER) {
  CK_SESSION_HANDLE session;
  Check(f->C_OpenSession(SlotOf(label, true), CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                         &session),
        "C_OpenSession");
  Check(f->C_Login(session, user, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin.data())),
                   pin.size()),
        "C_Login");
  return session;
}

void Init(const std::string& label, const std::string& pin) {
  const std::string so_pin = "so-" + pin;
  const std::string padded = Padded(label, 32);
  Check(f->C_InitToken(
            SlotOf(label, false), reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(so_pin.data())),
            so_pin.size(), reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(padded.data()))),
        "C_InitToken");
  // SoftHSM2 moves an initialised token to a slot of its own: look it up by its label.
  Check(f->C_Finalize(nullptr), "C_Finalize");
  Check(f->C_Initialize(nullptr), "C_Initialize");
  const CK_SESSION_HANDLE session = UserSession(label, so_pin, CKU_SO);
  Check(f->C_InitPIN(session, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(pin.data())),
                     pin.size()),
        "C_InitPIN");
  CK_TOKEN_INFO info{};
  Check(f->C_GetTokenInfo(SlotOf(label, true), &info), "C_GetTokenInfo");
  std::printf("%s/%s/%s\n", Trimmed(info.manufacturerID, sizeof info.manufacturerID).c_str(),
              Trimmed(info.model, sizeof info.model).c_str(),
              Trimmed(info.serialNumber, sizeof info.serialNumber).c_str());
}

std::string Param(EVP_PKEY* key, const char* name, size_t size = 0) {
  BIGNUM* number = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &number) != 1) Fail(std::string("no ") + name);
  std::string bytes(size ? size : static_cast<size_t>(BN_num_bytes(number)), '\0');
  BN_bn2binpad(number, reinterpret_cast<unsigned char*>(bytes.data()),
               static_cast<int>(bytes.size()));
  BN_free(number);
  return bytes;
}

void AddExtension(X509* certificate, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
  if (!extension || X509_add_ext(certificate, extension, -1) != 1) Fail("extension " + value);
  X509_EXTENSION_free(extension);
}

void Add(char** argv, bool with_key) {
  const std::string label = argv[0], pin = argv[1], file = argv[2], type = argv[3], usage = argv[4],
                    holder = argv[7];
  const long from = std::atol(argv[5]), to = std::atol(argv[6]);
  EVP_PKEY* key = type == "rsa" ? EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{2048})
                                : EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
  if (!key) Fail("key generation");
  X509* certificate = X509_new();
  X509_set_version(certificate, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate), std::rand() & 0x7FFFFFFF);
  X509_gmtime_adj(X509_getm_notBefore(certificate), from * 86400);
  X509_gmtime_adj(X509_getm_notAfter(certificate), to * 86400);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(holder.c_str()), -1, -1, 0);
  X509_set_issuer_name(certificate, name);
  X509_set_pubkey(certificate, key);
  if (usage == "ca") {
    AddExtension(certificate, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(certificate, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
  } else {
    AddExtension(certificate, NID_basic_constraints, "critical,CA:FALSE");
    if (usage != "none") AddExtension(certificate, NID_key_usage, "critical," + usage);
  }
  AddExtension(certificate, NID_subject_key_identifier, "hash");
  if (X509_sign(certificate, key, EVP_sha256()) <= 0) Fail("certificate signature");
  FILE* out = std::fopen(file.c_str(), "w");
  if (!out || PEM_write_X509(out, certificate) != 1 || std::fclose(out) != 0) Fail("write " + file);

  unsigned char* der = nullptr;
  const int der_length = i2d_X509(certificate, &der);
  unsigned char* subject = nullptr;
  const int subject_length = i2d_X509_NAME(name, &subject);
  // The identifier pairs the certificate with its key, as a card's middleware does.
  unsigned char id[20];
  unsigned int id_length = 0;
  X509_pubkey_digest(certificate, EVP_sha1(), id, &id_length);

  const CK_SESSION_HANDLE session = UserSession(label, pin);
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  CK_OBJECT_CLASS certificate_class = CKO_CERTIFICATE, key_class = CKO_PRIVATE_KEY;
  CK_CERTIFICATE_TYPE x509 = CKC_X_509;
  CK_OBJECT_HANDLE object;
  std::vector<CK_ATTRIBUTE> certificate_object = {
      {CKA_CLASS, &certificate_class, sizeof certificate_class},
      {CKA_CERTIFICATE_TYPE, &x509, sizeof x509},
      {CKA_TOKEN, &yes, sizeof yes},
      {CKA_PRIVATE, &no, sizeof no},
      {CKA_LABEL, const_cast<char*>(holder.data()), holder.size()},
      {CKA_ID, id, id_length},
      {CKA_SUBJECT, subject, static_cast<CK_ULONG>(subject_length)},
      {CKA_VALUE, der, static_cast<CK_ULONG>(der_length)}};
  Check(f->C_CreateObject(session, certificate_object.data(), certificate_object.size(), &object),
        "C_CreateObject certificate");
  if (with_key) {
    CK_KEY_TYPE key_type = type == "rsa" ? CKK_RSA : CKK_EC;
    std::vector<CK_ATTRIBUTE> key_object = {{CKA_CLASS, &key_class, sizeof key_class},
                                            {CKA_KEY_TYPE, &key_type, sizeof key_type},
                                            {CKA_TOKEN, &yes, sizeof yes},
                                            {CKA_PRIVATE, &yes, sizeof yes},
                                            {CKA_SENSITIVE, &yes, sizeof yes},
                                            {CKA_SIGN, &yes, sizeof yes},
                                            {CKA_ID, id, id_length}};
    std::vector<std::string> values;
    values.reserve(8);
    auto add = [&](CK_ATTRIBUTE_TYPE attribute, std::string value) {
      values.push_back(std::move(value));
      key_object.push_back({attribute, values.back().data(), values.back().size()});
    };
    if (type == "rsa") {
      add(CKA_MODULUS, Param(key, OSSL_PKEY_PARAM_RSA_N));
      add(CKA_PUBLIC_EXPONENT, Param(key, OSSL_PKEY_PARAM_RSA_E));
      add(CKA_PRIVATE_EXPONENT, Param(key, OSSL_PKEY_PARAM_RSA_D));
      add(CKA_PRIME_1, Param(key, OSSL_PKEY_PARAM_RSA_FACTOR1));
      add(CKA_PRIME_2, Param(key, OSSL_PKEY_PARAM_RSA_FACTOR2));
      add(CKA_EXPONENT_1, Param(key, OSSL_PKEY_PARAM_RSA_EXPONENT1));
      add(CKA_EXPONENT_2, Param(key, OSSL_PKEY_PARAM_RSA_EXPONENT2));
      add(CKA_COEFFICIENT, Param(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1));
    } else {
      // The named curve prime256v1, DER.
      add(CKA_EC_PARAMS, std::string("\x06\x08\x2A\x86\x48\xCE\x3D\x03\x01\x07", 10));
      add(CKA_VALUE, Param(key, OSSL_PKEY_PARAM_PRIV_KEY, 32));
    }
    Check(f->C_CreateObject(session, key_object.data(), key_object.size(), &object),
          "C_CreateObject key");
  }
  OPENSSL_free(der);
  OPENSSL_free(subject);
  X509_free(certificate);
  EVP_PKEY_free(key);
}

}  // namespace

int main(int argc, char** argv) {
  void* library = ::dlopen(VEMO_SOFTHSM2_MODULE, RTLD_NOW);
  if (!library) Fail(std::string("cannot open ") + VEMO_SOFTHSM2_MODULE);
  const auto get_list =
      reinterpret_cast<CK_C_GetFunctionList>(::dlsym(library, "C_GetFunctionList"));
  if (!get_list) Fail("no C_GetFunctionList");
  Check(get_list(&f), "C_GetFunctionList");
  Check(f->C_Initialize(nullptr), "C_Initialize");
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "init" && argc == 4) {
    Init(argv[2], argv[3]);
  } else if (command == "add" && (argc == 10 || argc == 11)) {
    Add(argv + 2, !(argc == 11 && std::strcmp(argv[10], "no-key") == 0));
  } else {
    Fail("usage: see the head of test_token.cpp");
  }
  f->C_Finalize(nullptr);
  return 0;
}
