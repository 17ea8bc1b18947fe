#pragma once

#include <filesystem>
#include <string>

#include "platform/http_server.h"

namespace vemo::platform {

// The certificate for "https://localhost:9009/": a local CA, name-constrained to localhost,
// 127.0.0.1 and ::1, and a leaf for those names (EC P-256), kept in the data folder. Created
// on first use, reused while valid, renewed before expiry. Every file is the user's alone (mode
// 0600), the folders made for them too (0700).
struct ServerCertificate {
  TlsFiles tls;                          // leaf + CA chain and the leaf key, for the server
  std::filesystem::path ca_certificate;  // the CA alone, for the user's trust store
};

// Every local CA is named this, a space and 8 hex digits of its own; certificate databases
// list it under that name.
inline constexpr char kCaNamePrefix[] = "Vemo_Server_Crypt local CA";
inline constexpr char kCaCertificateFile[] = "localhost-ca.pem";
inline constexpr char kCaKeyFile[] = "localhost-ca.key";
inline constexpr char kLeafCertificateFile[] = "localhost.pem";
inline constexpr char kLeafKeyFile[] = "localhost.key";

// How long new certificates are valid, and how long before their end they are replaced.
struct CertificateLifetimes {
  int ca_days = 3650;
  int ca_renew_days = 60;
  int leaf_days = 397;
  int leaf_renew_days = 30;
};

// Returns false with a readable reason in *error when the files cannot be made. Two callers
// on the same folder, in one process or two, take turns (a lock on the folder).
bool EnsureServerCertificate(const std::filesystem::path& folder, ServerCertificate* result,
                             std::string* error, const CertificateLifetimes& lifetimes = {});

}  // namespace vemo::platform
