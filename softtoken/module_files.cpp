#include "softtoken/module_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "platform/files.h"
#include "support/unique_fd.h"

namespace vemo::token {
namespace {

constexpr char kSignerFile[] = "token-signer";

}  // namespace

std::filesystem::path ModuleFolder() { return platform::DataFolder() / "softtoken"; }

bool MakePrivateFolder(const std::filesystem::path& folder) {
  std::filesystem::path partial;
  for (const auto& part : folder) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st {};
  return ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::optional<std::string> ReadOwnFile(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.ok()) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    return std::nullopt;
  }
  std::string bytes;
  char chunk[4096];
  ssize_t got;
  while ((got = ::read(fd.get(), chunk, sizeof chunk)) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    bytes.append(chunk, static_cast<size_t>(got));
  }
  return bytes;
}

// Two lines, "certificate=<fingerprint>" and "token=<identity>".
std::optional<SignerMemory> ReadSignerMemory() {
  const auto text = ReadOwnFile(ModuleFolder() / kSignerFile);
  if (!text) return std::nullopt;
  SignerMemory memory;
  std::istringstream lines(*text);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("certificate=")) memory.certificate = line.substr(12);
    if (line.starts_with("token=")) memory.token = line.substr(6);
  }
  // Whatever the file holds, a token has signed here before.
  return memory;
}

bool RememberSigner(const SignerMemory& memory) {
  const auto old = ReadSignerMemory();
  if (old && old->certificate == memory.certificate && old->token == memory.token) return true;
  return MakePrivateFolder(ModuleFolder()) &&
         platform::WriteFileAtomically(
             ModuleFolder() / kSignerFile,
             "certificate=" + memory.certificate + "\ntoken=" + memory.token + "\n", 0600);
}

}  // namespace vemo::token
