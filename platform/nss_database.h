#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vemo::platform {

// One certificate database of NSS in its sql form (cert9.db, key4.db, pkcs11.txt in a
// folder), as Chromium and Firefox keep them. Every read and change goes through certutil from
// NSS's own tools, so the database's own rules and locking apply; nothing here writes its
// files. certutil never gets a terminal or a password: a database protected by a password
// (a Firefox primary password) refuses changes instead of asking, and any run is ended after
// a time limit.
//
// Threading: any thread; calls on one database from two threads at once are up to NSS.
class NssDatabase {
 public:
  struct Entry {
    std::string nickname;
    std::string trust;  // as certutil lists it: "SSL,S/MIME,code signing" flags, e.g. "C,,"
  };

  explicit NssDatabase(std::filesystem::path folder) : folder_(std::move(folder)) {}

  const std::filesystem::path& folder() const { return folder_; }
  // Whether the folder holds a database (cert9.db).
  bool Exists() const;
  // Makes a new database without a password, the folder with mode 0700 when missing. Never
  // touches a database that is already there.
  bool Create(std::string* error) const;
  // Every certificate's nickname and trust, in certutil's order.
  std::optional<std::vector<Entry>> List(std::string* error) const;
  // The certificates filed under the nickname, as PEM; a failure when there are none.
  std::optional<std::string> CertificatesPem(const std::string& nickname, std::string* error) const;
  // Adds the certificate in the PEM file under the nickname with the trust flags given
  // ("C,,": a CA trusted for TLS servers).
  bool Add(const std::filesystem::path& pem_file, const std::string& nickname,
           const std::string& trust, std::string* error) const;
  // Removes one certificate filed under the nickname.
  bool Delete(const std::string& nickname, std::string* error) const;

  // How long one run of certutil may take; it is ended after that.
  static constexpr std::chrono::seconds kRunLimit{20};
  // Whether certutil can be run at all; *error says why not.
  static bool ToolAvailable(std::string* error);

 private:
  std::string Address() const { return "sql:" + folder_.string(); }
  std::filesystem::path folder_;
};

// Whether the SSL field of certutil's trust flags holds "C" (trusted to issue server
// certificates).
bool TrustedForServers(const std::string& trust);

}  // namespace vemo::platform
