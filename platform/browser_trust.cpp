#include "platform/browser_trust.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "platform/files.h"
#include "platform/nss_database.h"
#include "platform/openssl_ptr.h"
#include "platform/server_certificate.h"

namespace vemo::platform {
namespace {

namespace fs = std::filesystem;

using BioPtr = std::unique_ptr<BIO, FreeWith<BIO_free_all>>;
using CertificatePtr = std::unique_ptr<X509, FreeWith<X509_free>>;

constexpr char kServerTrust[] = "C,,";
// A database holds a few copies of one nickname at most; more removals than this would mean
// that certutil reports success without removing anything.
constexpr int kMaxRemovalsPerName = 8;

std::string Der(X509* certificate) {
  unsigned char* bytes = nullptr;
  const int size = i2d_X509(certificate, &bytes);
  if (size <= 0) return {};
  std::string der(reinterpret_cast<char*>(bytes), static_cast<size_t>(size));
  OPENSSL_free(bytes);
  return der;
}

std::vector<CertificatePtr> ParsePem(const std::string& pem) {
  std::vector<CertificatePtr> certificates;
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  while (bio) {
    CertificatePtr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!certificate) break;
    certificates.push_back(std::move(certificate));
  }
  ERR_clear_error();  // the end of the text reads as an error
  return certificates;
}

bool IsProgramCa(const std::string& nickname) {
  const std::string_view prefix = kCaNamePrefix;
  return nickname.starts_with(prefix) &&
         (nickname.size() == prefix.size() || nickname[prefix.size()] == ' ');
}

const NssDatabase::Entry* FindEntry(const std::vector<NssDatabase::Entry>& entries,
                                    const std::string& nickname) {
  for (const auto& entry : entries) {
    if (entry.nickname == nickname) return &entry;
  }
  return nullptr;
}

// Whether the database files this very certificate under the nickname, trusted for servers.
bool HoldsTrusted(const NssDatabase& db, const std::vector<NssDatabase::Entry>& entries,
                  const LocalCa& ca, std::string* error) {
  const NssDatabase::Entry* entry = FindEntry(entries, ca.nickname);
  if (!entry || !TrustedForServers(entry->trust)) return false;
  const auto pem = db.CertificatesPem(ca.nickname, error);
  if (!pem) return false;
  for (const auto& certificate : ParsePem(*pem)) {
    if (Der(certificate.get()) == ca.der) return true;
  }
  return false;
}

// Takes out every CA of the program but the one named keep; counts them into *removed and
// returns the first error.
std::string RemoveProgramCas(const NssDatabase& db, const std::vector<NssDatabase::Entry>& entries,
                             const std::string& keep, int* removed) {
  std::string first_error;
  for (const auto& entry : entries) {
    if (!IsProgramCa(entry.nickname) || entry.nickname == keep) continue;
    // One nickname may stand for several certificates of one subject; each removal takes one.
    for (int i = 0; i < kMaxRemovalsPerName; ++i) {
      std::string error;
      if (!db.Delete(entry.nickname, &error)) {
        if (i == 0 && first_error.empty()) first_error = error;
        break;
      }
      ++*removed;
    }
  }
  return first_error;
}

TrustOutcome Failed(TrustOutcome outcome, std::string error) {
  outcome.result = TrustOutcome::Result::kFailed;
  outcome.error = std::move(error);
  return outcome;
}

// The record: folder -> fingerprint of the CA added there.
using Record = std::map<fs::path, std::string>;

std::optional<Record> ReadRecord(const fs::path& data_folder) {
  std::ifstream in(data_folder / kTrustRecordFile);
  if (!in) return std::nullopt;
  Record record;
  for (std::string line; std::getline(in, line);) {
    const size_t space = line.find(' ');
    if (line.empty() || line.front() == '#' || space == std::string::npos) continue;
    record[line.substr(space + 1)] = line.substr(0, space);
  }
  return record;
}

bool WriteRecord(const fs::path& data_folder, const Record& record, std::string* error) {
  std::string text =
      "# The browser certificate databases that the local CA was added to: the SHA-256\n"
      "# fingerprint of the CA added and the folder. Written by Vemo_Server_Crypt.\n";
  for (const auto& [folder, fingerprint] : record) {
    const std::string name = folder.string();
    if (name.find('\n') != std::string::npos) continue;  // cannot be a line of its own
    text += fingerprint + " " + name + "\n";
  }
  return WriteFileAtomically(data_folder / kTrustRecordFile, text, 0600, error);
}

// The CA of the server certificate in the data folder, made when missing.
std::optional<LocalCa> CurrentCa(const fs::path& data_folder, std::string* error) {
  ServerCertificate certificate;
  if (!EnsureServerCertificate(data_folder, &certificate, error)) return std::nullopt;
  return ReadLocalCa(certificate.ca_certificate, error);
}

bool Succeeded(const TrustOutcome& outcome) {
  return outcome.result == TrustOutcome::Result::kAdded ||
         outcome.result == TrustOutcome::Result::kPresent;
}

}  // namespace

std::optional<LocalCa> ReadLocalCa(const fs::path& file, std::string* error) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  auto certificates = ParsePem(bytes.str());
  if (!in || certificates.size() != 1) {
    *error = "no certificate in " + file.string();
    return std::nullopt;
  }
  X509* certificate = certificates.front().get();
  LocalCa ca{file, {}, {}, Der(certificate)};
  char name[256] = {};
  if (X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, name,
                                sizeof name) <= 0) {
    *error = "the certificate in " + file.string() + " has no common name";
    return std::nullopt;
  }
  ca.nickname = name;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1) {
    *error = "cannot take the fingerprint of " + file.string();
    return std::nullopt;
  }
  for (unsigned int i = 0; i < size; ++i) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", digest[i]);
    ca.fingerprint += digits;
  }
  return ca;
}

std::string Describe(const TrustOutcome& outcome) {
  std::string text = outcome.database.browser + ": " + outcome.database.folder.string() + ": ";
  using Result = TrustOutcome::Result;
  switch (outcome.result) {
    case Result::kAdded:
      text += outcome.created ? "database created, CA added" : "CA added";
      break;
    case Result::kPresent:
      text += "CA already there";
      break;
    case Result::kRemoved:
      text += "CA removed";
      break;
    case Result::kAbsent:
      text += "no CA of the program there";
      break;
    case Result::kGone:
      text += "the database no longer exists";
      break;
    case Result::kFailed:
      return text + "FAILED: " + outcome.error;
  }
  if (outcome.older_removed > 0) {
    text += ", " + std::to_string(outcome.older_removed) + " older CA removed";
  }
  if (!outcome.error.empty()) text += "; an older CA could not be removed: " + outcome.error;
  return text;
}

TrustOutcome TrustInDatabase(const BrowserDatabase& database, const LocalCa& ca) {
  TrustOutcome outcome;
  outcome.database = database;
  const NssDatabase db(database.folder);
  std::string error;
  if (!db.Exists()) {
    if (!database.create_when_missing) return Failed(outcome, "there is no database");
    if (!db.Create(&error)) return Failed(outcome, "cannot create the database: " + error);
    outcome.created = true;
  }
  auto before = db.List(&error);
  if (!before) return Failed(outcome, error);
  if (HoldsTrusted(db, *before, ca, &error)) {
    outcome.result = TrustOutcome::Result::kPresent;
  } else {
    if (!db.Add(ca.file, ca.nickname, kServerTrust, &error)) {
      // certutil may have stored the certificate before it failed to set the trust (a
      // database with a password does that); what was not there before goes again.
      std::string ignored;
      const auto after = db.List(&ignored);
      if (!FindEntry(*before, ca.nickname) && after && FindEntry(*after, ca.nickname)) {
        db.Delete(ca.nickname, &ignored);
      }
      return Failed(outcome, error);
    }
    const auto after = db.List(&error);
    if (!after || !HoldsTrusted(db, *after, ca, &error)) {
      return Failed(outcome, error.empty() ? "the database does not list the CA as trusted after "
                                             "the import"
                                           : error);
    }
    outcome.result = TrustOutcome::Result::kAdded;
  }
  outcome.error = RemoveProgramCas(db, *before, ca.nickname, &outcome.older_removed);
  return outcome;
}

TrustOutcome RemoveFromDatabase(const BrowserDatabase& database) {
  TrustOutcome outcome;
  outcome.database = database;
  const NssDatabase db(database.folder);
  if (!db.Exists()) {
    outcome.result = TrustOutcome::Result::kAbsent;
    return outcome;
  }
  std::string error;
  const auto entries = db.List(&error);
  if (!entries) return Failed(outcome, error);
  int removed = 0;
  error = RemoveProgramCas(db, *entries, "", &removed);
  if (!error.empty()) return Failed(outcome, error);
  const auto after = db.List(&error);
  if (!after) return Failed(outcome, error);
  for (const auto& entry : *after) {
    if (IsProgramCa(entry.nickname)) {
      return Failed(outcome, "\"" + entry.nickname + "\" is still there after its removal");
    }
  }
  outcome.result = removed > 0 ? TrustOutcome::Result::kRemoved : TrustOutcome::Result::kAbsent;
  return outcome;
}

bool TrustReport::ok() const {
  if (!error.empty()) return false;
  for (const auto& outcome : outcomes) {
    if (outcome.result == TrustOutcome::Result::kFailed || !outcome.error.empty()) return false;
  }
  return true;
}

TrustReport InstallLocalCa(const fs::path& data_folder) {
  TrustReport report;
  if (!NssDatabase::ToolAvailable(&report.error)) return report;
  report.ca = CurrentCa(data_folder, &report.error);
  if (!report.ca) return report;
  Record record = ReadRecord(data_folder).value_or(Record{});
  for (const auto& database : FindBrowserDatabases()) {
    report.outcomes.push_back(TrustInDatabase(database, *report.ca));
    if (Succeeded(report.outcomes.back())) record[database.folder] = report.ca->fingerprint;
  }
  std::string error;
  if (!WriteRecord(data_folder, record, &error)) report.error = "cannot keep the record: " + error;
  return report;
}

TrustReport RemoveLocalCa(const fs::path& data_folder) {
  TrustReport report;
  if (!NssDatabase::ToolAvailable(&report.error)) return report;
  for (const auto& database : FindBrowserDatabases()) {
    if (!NssDatabase(database.folder).Exists()) continue;  // Chromium's, not made yet
    report.outcomes.push_back(RemoveFromDatabase(database));
  }
  std::string error;
  std::error_code ignored;
  if (fs::is_directory(data_folder, ignored) && !WriteRecord(data_folder, {}, &error)) {
    report.error = "cannot keep the record: " + error;
  }
  return report;
}

StartTrust KeepLocalCaTrusted(const fs::path& data_folder) {
  StartTrust start;
  TrustReport& report = start.report;
  std::optional<Record> record = ReadRecord(data_folder);
  if (!record) {
    start.action = StartTrustAction::kFirstInstall;
    report = InstallLocalCa(data_folder);
    return start;
  }
  report.ca = CurrentCa(data_folder, &report.error);
  if (!report.ca) return start;
  bool changed = false;
  std::vector<BrowserDatabase> known;
  for (auto& [folder, fingerprint] : *record) {
    if (fingerprint == report.ca->fingerprint) continue;
    if (!changed) {
      if (!NssDatabase::ToolAvailable(&report.error)) return start;
      known = FindBrowserDatabases();
      start.action = StartTrustAction::kRenewal;
      changed = true;
    }
    BrowserDatabase database{"certificate database", folder, false};
    for (const auto& found : known) {
      if (found.folder == folder) database.browser = found.browser;
    }
    if (!NssDatabase(folder).Exists()) {
      TrustOutcome gone;
      gone.database = database;
      gone.result = TrustOutcome::Result::kGone;
      report.outcomes.push_back(std::move(gone));
      fingerprint.clear();
      continue;
    }
    report.outcomes.push_back(TrustInDatabase(database, *report.ca));
    if (Succeeded(report.outcomes.back())) fingerprint = report.ca->fingerprint;
  }
  if (!changed) return start;
  std::erase_if(*record, [](const auto& entry) { return entry.second.empty(); });
  std::string error;
  if (!WriteRecord(data_folder, *record, &error)) report.error = "cannot keep the record: " + error;
  return start;
}

}  // namespace vemo::platform
