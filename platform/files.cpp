#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/unique_fd.h"

namespace vemo::platform {
namespace {

const char* NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return value && *value ? value : nullptr;
}

std::filesystem::path WithTrailingSlash(const std::filesystem::path& folder) {
  std::string text = folder.string();
  while (text.size() > 1 && text.back() == '/') text.pop_back();
  if (text != "/") text += '/';
  return text;
}

// A folder we may keep private files in: a real directory (not a link), ours, closed to
// group and others for writing.
bool IsPrivateFolder(const std::filesystem::path& folder) {
  struct stat st {};
  return ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// ".tmp-" and 8 random bytes in hex: a name nobody can guess and plant a link under first.
std::optional<std::string> TemporarySuffix() {
  unsigned char random[8];
  for (size_t done = 0; done < sizeof random;) {
    const ssize_t got = ::getrandom(random + done, sizeof random - done, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    done += static_cast<size_t>(got);
  }
  std::string suffix = ".tmp-";
  for (unsigned char byte : random) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%x", byte);
    suffix += digits;
  }
  return suffix;
}

void SetError(std::string* error, const std::string& what, int error_number) {
  if (error) *error = what + ": " + std::strerror(error_number);
}

std::string Narrowed(const std::string& name, mode_t mode) {
  char octal[8];
  std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777));
  return name + " " + octal;
}

constexpr mode_t kGroupAndOthers = 077;

}  // namespace

std::string HomeFolder() {
  if (const char* home = NonEmptyEnv("HOME")) return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir) {
    return found->pw_dir;
  }
  return "";
}

// The link itself counts, as Windows sees a link: a planted link is then removed by
// DeleteFile rather than passed over.
bool PathExists(const std::filesystem::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsReadOnly(const std::filesystem::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) == 0;
}

bool ClearReadOnly(const std::filesystem::path& path) {
  struct stat st {};
  // chmod follows links; a link has no read-only bit of its own to clear.
  if (::lstat(path.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return false;
  return ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

bool DeleteFile(const std::filesystem::path& path) { return ::unlink(path.c_str()) == 0; }

bool CreateAndWriteFile(const std::filesystem::path& path, std::string_view bytes) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.ok()) return false;
  bool ok = fd.WriteAllAndSync(bytes);
  ok = fd.Close() && ok;
  // The file is ours (O_EXCL): a half-written one is not left for the signer.
  if (!ok) ::unlink(path.c_str());
  return ok;
}

bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t mode,
                         std::string* error) {
  const std::optional<std::string> suffix = TemporarySuffix();
  if (!suffix) {
    SetError(error, "no random bytes for a temporary name", errno);
    return false;
  }
  const std::string temp = path.string() + *suffix;
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd.ok()) {
    SetError(error, "cannot create " + temp, errno);
    return false;
  }
  bool ok = ::fchmod(fd.get(), mode) == 0 && fd.WriteAllAndSync(bytes);
  ok = fd.Close() && ok;
  ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    SetError(error, "cannot write " + path.string(), errno);
    ::unlink(temp.c_str());
  }
  return ok;
}

std::optional<std::string> ReadFileFrom(const std::filesystem::path& path, uint64_t offset) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd.ok()) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const auto size = static_cast<uint64_t>(st.st_size);
  if (size < offset) return std::nullopt;
  std::string bytes(size - offset, '\0');
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got = ::pread(fd.get(), bytes.data() + done, bytes.size() - done,
                                static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;  // cut short since fstat: keep what is there, nothing beyond
    done += static_cast<size_t>(got);
  }
  bytes.resize(done);
  return bytes;
}

std::optional<std::filesystem::path> UserTempFolder() {
  if (const char* runtime = NonEmptyEnv("XDG_RUNTIME_DIR")) {
    const std::filesystem::path folder(runtime);
    if (folder.is_absolute() && IsPrivateFolder(folder)) return WithTrailingSlash(folder);
  }
  const char* tmpdir = NonEmptyEnv("TMPDIR");
  const std::filesystem::path base =
      tmpdir && std::filesystem::path(tmpdir).is_absolute() ? tmpdir : "/tmp";
  const std::filesystem::path folder = base / ("vemo-" + std::to_string(::geteuid()));
  if (::mkdir(folder.c_str(), 0700) == 0) {
    // The umask may have taken bits away; the folder is ours, so set the mode we check for.
    ::chmod(folder.c_str(), 0700);
  } else if (errno != EEXIST) {
    return std::nullopt;
  }
  // Under a shared /tmp someone else may have made the name first: use only our own folder.
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
      (st.st_mode & 07777) != 0700) {
    return std::nullopt;
  }
  return WithTrailingSlash(folder);
}

std::filesystem::path DataFolder() {
  std::filesystem::path config;
  const char* xdg = NonEmptyEnv("XDG_CONFIG_HOME");
  if (xdg && std::filesystem::path(xdg).is_absolute()) {
    config = xdg;
  } else if (const std::string home = HomeFolder(); !home.empty()) {
    config = std::filesystem::path(home) / ".config";
  }
  // With no home at all the folder hangs off the root, as the program did when the
  // application-data folder could not be determined.
  std::string text = config.string();
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text + "/Tramontel_Vemo_Server_Crypt";
}

bool CreatePrivateFolders(const std::filesystem::path& folder) {
  std::filesystem::path partial;
  for (const auto& part : folder) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return IsDirectory(folder);
}

std::vector<std::string> MakeFolderPrivate(const std::filesystem::path& folder) {
  std::vector<std::string> narrowed;
  if (!CreatePrivateFolders(folder)) return narrowed;
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!dir.ok() || ::fstat(dir.get(), &st) != 0 || st.st_uid != ::geteuid()) return narrowed;
  if ((st.st_mode & kGroupAndOthers) != 0) {
    if (::fchmod(dir.get(), st.st_mode & 07777 & ~kGroupAndOthers) != 0) return narrowed;
    narrowed.push_back(Narrowed(folder.filename().string(), st.st_mode));
  }
  // From here on nobody else can change the folder's entries, so a name checked to be a
  // regular file of ours is still that file when its mode is changed.
  DIR* entries = ::fdopendir(::dup(dir.get()));
  if (!entries) return narrowed;
  std::vector<std::string> files;
  while (const dirent* entry = ::readdir(entries)) {
    struct stat file {};
    if (::fstatat(dir.get(), entry->d_name, &file, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(file.st_mode) || file.st_uid != ::geteuid() ||
        (file.st_mode & kGroupAndOthers) == 0) {
      continue;
    }
    if (::fchmodat(dir.get(), entry->d_name, file.st_mode & 07777 & ~kGroupAndOthers, 0) == 0) {
      files.push_back(Narrowed(entry->d_name, file.st_mode));
    }
  }
  ::closedir(entries);
  std::sort(files.begin(), files.end());
  narrowed.insert(narrowed.end(), files.begin(), files.end());
  return narrowed;
}

}  // namespace vemo::platform
