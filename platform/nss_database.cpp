#include "platform/nss_database.h"

#include <sys/stat.h>

#include <algorithm>
#include <sstream>

#include "platform/run_program.h"

namespace vemo::platform {
namespace {

constexpr char kCertutil[] = "certutil";
constexpr char kDatabaseFile[] = "cert9.db";

// certutil's output, without the blank lines and the trailing line breaks, for an error text.
std::string Trimmed(const std::string& output) {
  std::string text;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text;
}

// Runs certutil on the arguments. "-f /dev/null" stands for an empty password file: an
// unprotected database needs none, and a protected one fails at once instead of asking for
// its password again and again (certutil does, without a terminal).
bool Certutil(std::vector<std::string> arguments, std::string* output, std::string* error) {
  arguments.insert(arguments.begin(), kCertutil);
  arguments.insert(arguments.end(), {"-f", "/dev/null"});
  const ProgramRun run = RunProgram(arguments, NssDatabase::kRunLimit);
  if (!run.started) {
    *error = "certutil cannot be run (" + run.output + "); it comes with libnss3-tools";
    return false;
  }
  if (run.timed_out) {
    *error = "certutil did not end within " + std::to_string(NssDatabase::kRunLimit.count()) + " s";
    return false;
  }
  if (run.exit_code != 0) {
    *error = Trimmed(run.output);
    if (error->empty()) *error = "certutil ended with " + std::to_string(run.exit_code);
    return false;
  }
  if (output) *output = run.output;
  return true;
}

}  // namespace

bool NssDatabase::Exists() const {
  std::error_code ignored;
  return std::filesystem::is_regular_file(folder_ / kDatabaseFile, ignored);
}

bool NssDatabase::Create(std::string* error) const {
  if (Exists()) {
    *error = "a database is already there";
    return false;
  }
  std::error_code ec;
  std::filesystem::path made;
  for (const auto& part : folder_) {
    made /= part;
    if (std::filesystem::is_directory(made, ec)) continue;
    // Like the browsers' own: the database folder is the user's alone.
    if (::mkdir(made.c_str(), 0700) != 0 && !std::filesystem::is_directory(made, ec)) {
      *error = "cannot create the folder " + made.string();
      return false;
    }
  }
  return Certutil({"-N", "-d", Address(), "--empty-password"}, nullptr, error);
}

std::optional<std::vector<NssDatabase::Entry>> NssDatabase::List(std::string* error) const {
  std::string output;
  if (!Certutil({"-L", "-d", Address()}, &output, error)) return std::nullopt;
  // A heading of two lines and a blank one, then one line per certificate: the nickname,
  // spaces, and the trust flags as the last word.
  std::vector<Entry> entries;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    const size_t space = line.find_last_of(' ');
    if (space == std::string::npos) continue;
    std::string trust = line.substr(space + 1);
    if (std::count(trust.begin(), trust.end(), ',') != 2) continue;  // the heading
    std::string nickname = line.substr(0, space);
    while (!nickname.empty() && nickname.back() == ' ') nickname.pop_back();
    if (nickname.empty()) continue;
    entries.push_back({std::move(nickname), std::move(trust)});
  }
  return entries;
}

std::optional<std::string> NssDatabase::CertificatesPem(const std::string& nickname,
                                                        std::string* error) const {
  std::string output;
  if (!Certutil({"-L", "-d", Address(), "-n", nickname, "-a"}, &output, error)) {
    return std::nullopt;
  }
  return output;
}

bool NssDatabase::Add(const std::filesystem::path& pem_file, const std::string& nickname,
                      const std::string& trust, std::string* error) const {
  return Certutil({"-A", "-d", Address(), "-n", nickname, "-t", trust, "-a", "-i", pem_file},
                  nullptr, error);
}

bool NssDatabase::Delete(const std::string& nickname, std::string* error) const {
  return Certutil({"-D", "-d", Address(), "-n", nickname}, nullptr, error);
}

bool NssDatabase::ToolAvailable(std::string* error) {
  // certutil without a command prints its usage and ends with 1; what counts is that it runs.
  const ProgramRun run = RunProgram({kCertutil, "-H"}, kRunLimit);
  if (!run.started || run.timed_out) {
    *error = "certutil cannot be run (" + run.output + "); it comes with libnss3-tools";
    return false;
  }
  return true;
}

bool TrustedForServers(const std::string& trust) {
  const std::string ssl = trust.substr(0, trust.find(','));
  return ssl.find('C') != std::string::npos;
}

}  // namespace vemo::platform
