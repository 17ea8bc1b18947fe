#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vemo::platform {

// The small set of file operations the providers need, with the Windows results they were
// written against, on paths as the system builds them.

bool PathExists(const std::filesystem::path& path);  // GetFileAttributesW != INVALID
bool IsDirectory(const std::filesystem::path& path);
bool IsReadOnly(const std::filesystem::path& path);  // no owner write bit
bool ClearReadOnly(const std::filesystem::path& path);
bool DeleteFile(const std::filesystem::path& path);
// Creates a new file for the signer: removes nothing, follows no link, fails when a file of
// that name appeared in between (O_CREAT | O_EXCL | O_NOFOLLOW), mode 0600. Writes all bytes
// and syncs. false on any failure.
bool CreateAndWriteFile(const std::filesystem::path& path, std::string_view bytes);
// Replaces the file in one step: the bytes go to a new file beside it (created exclusively,
// mode 0600 until set to mode, whatever the umask), flushed to storage and renamed over it, so
// a reader sees the old file or the whole new one, and a private key is never readable by
// others, not even for a moment. false on failure, with a readable reason in *error when given.
bool WriteFileAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t mode,
                         std::string* error = nullptr);
// Reads the bytes from offset to the end of a regular file. nullopt when it cannot be opened
// or read, or when it is shorter than offset.
std::optional<std::string> ReadFileFrom(const std::filesystem::path& path, uint64_t offset);

// The user's private temporary folder, ending in "/": $XDG_RUNTIME_DIR when set and ours,
// else a folder of mode 0700 created under $TMPDIR or /tmp and checked to be ours. nullopt
// when none can be had.
std::optional<std::filesystem::path> UserTempFolder();

// The user's home: $HOME when set, else the user database's entry; "" when neither has one.
std::string HomeFolder();

// $XDG_CONFIG_HOME, default $HOME/.config, followed by "/Tramontel_Vemo_Server_Crypt".
std::filesystem::path DataFolder();

// Creates the folder and any missing parent with mode 0700. True when it is a folder then.
bool CreatePrivateFolders(const std::filesystem::path& folder);

// Keeps a folder of the program's own files private to the user, as the per-user
// application-data folder is on Windows: creates it, and any missing parent, with mode 0700,
// and takes the group and other bits off an existing folder of ours and off the regular files
// of ours directly in it. Symbolic links are never followed: a folder that is a link is left
// as it is, and so is a link inside it. Returns what was narrowed, each as its name and its
// former mode ("Vemo_Server_Crypt.ini 0644"), the folder first, then the files by name.
std::vector<std::string> MakeFolderPrivate(const std::filesystem::path& folder);

}  // namespace vemo::platform
