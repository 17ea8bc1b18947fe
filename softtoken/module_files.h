#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vemo::token {

// The module's folder beside the program's own files, found by the same rules:
// <data folder>/softtoken.
std::filesystem::path ModuleFolder();

// Creates the missing folders of the path (mode 0700) and accepts the last one only when it
// is a real directory of ours that nobody else may write to: the private key lives there.
bool MakePrivateFolder(const std::filesystem::path& folder);

// The bytes of a regular file of ours, not followed through a link.
std::optional<std::string> ReadOwnFile(const std::filesystem::path& path);

// The token that signed last for this user, and with which certificate. Once there is one, a
// missing token is reported rather than signed for by the software key, whose signature the
// bank would refuse.
struct SignerMemory {
  std::string certificate;  // SHA-256 fingerprint
  std::string token;        // Token::identity
};
std::optional<SignerMemory> ReadSignerMemory();
bool RememberSigner(const SignerMemory& memory);

}  // namespace vemo::token
