#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/browser_databases.h"

namespace vemo::platform {

// The browsers' trust in the program's local CA: adding it to the user's browser certificate
// databases, taking it out again, and following a new CA into the databases that held the old
// one. The data folder keeps a record of where the CA was added (kTrustRecordFile: one line
// per database, the SHA-256 fingerprint of the CA added there and the database's folder).
//
// Threading: one caller at a time per data folder; these run certutil and wait for it.

inline constexpr char kTrustRecordFile[] = "browser-trust.txt";

// The local CA as a certificate database sees it.
struct LocalCa {
  std::filesystem::path file;
  std::string nickname;     // its subject's common name, which the databases file it under
  std::string fingerprint;  // SHA-256 of the DER form, lower-case hex
  std::string der;
};

// Reads the one certificate of a PEM file.
std::optional<LocalCa> ReadLocalCa(const std::filesystem::path& file, std::string* error);

// What was done to one database.
struct TrustOutcome {
  enum class Result {
    kAdded,    // the CA is there now, trusted "C,,", checked by reading it back
    kPresent,  // it was there already, trusted
    kRemoved,  // the program's CAs were taken out
    kAbsent,   // there was nothing of the program's to take out
    kGone,     // a database that the record names no longer exists
    kFailed,
  };
  BrowserDatabase database;
  Result result = Result::kFailed;
  bool created = false;   // the database was made for Chromium
  int older_removed = 0;  // other CAs of the program taken out
  std::string error;      // kFailed, or an older CA that could not be taken out
};

// One line for people: "<browser>: <folder>: <what was done>".
std::string Describe(const TrustOutcome& outcome);

// Adds the CA to the database with trust "C,," (making the database when it is Chromium's own
// and missing), reads it back to check that the database lists that very certificate as
// trusted, and takes the program's other CAs out. A failed addition leaves nothing behind.
TrustOutcome TrustInDatabase(const BrowserDatabase& database, const LocalCa& ca);
// Takes every CA of the program out of the database (names beginning with kCaNamePrefix).
TrustOutcome RemoveFromDatabase(const BrowserDatabase& database);

struct TrustReport {
  std::string error;  // nothing could be done: no CA, no certutil
  std::optional<LocalCa> ca;
  std::vector<TrustOutcome> outcomes;
  // No error and no failed database.
  bool ok() const;
};

// The local CA of the server certificate in the data folder (made when missing or due for
// renewal) into every database of FindBrowserDatabases(); the record names them afterwards.
TrustReport InstallLocalCa(const std::filesystem::path& data_folder);
// The program's CAs out of every database of FindBrowserDatabases(). The record is emptied,
// so that the program does not add the CA again by itself.
TrustReport RemoveLocalCa(const std::filesystem::path& data_folder);

// At the program's start.
enum class StartTrustAction {
  kNothing,       // the CA is where the record says, or the user took it out
  kFirstInstall,  // no record yet: InstallLocalCa
  kRenewal,       // a new CA went into the recorded databases, the old one out
};
struct StartTrust {
  StartTrustAction action = StartTrustAction::kNothing;
  TrustReport report;
};
// Without a record (the first start, or a data folder made anew) it installs as
// InstallLocalCa does; a record whose databases hold another CA than the current one gets the
// current one added there and the old one removed. A database that cannot be written is
// reported and stays in the record as it was, so the next start tries it again; one that no
// longer exists leaves the record. Nothing is run when all is as recorded.
StartTrust KeepLocalCaTrusted(const std::filesystem::path& data_folder);

}  // namespace vemo::platform
