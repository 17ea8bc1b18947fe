#pragma once

// Small helpers shared by the fuzz targets.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace vemo::fuzz {

// A finding: the reason on standard error, then abort, so that libFuzzer keeps the input.
[[noreturn]] inline void Fail(const char* target, const std::string& what) {
  std::fprintf(stderr, "%s: %s\n", target, what.c_str());
  std::abort();
}

// A fresh private folder for one fuzzing process, removed at exit. Files that are synced on
// every write (settings, event log) go to memory when /dev/shm is there, so that the disk does
// not set the pace.
inline std::filesystem::path ScratchFolder(const char* target) {
  std::string base;
  if (const char* chosen = std::getenv("VEMO_FUZZ_SCRATCH"); chosen && *chosen) {
    base = chosen;
  } else if (::access("/dev/shm", W_OK) == 0) {
    base = "/dev/shm";
  } else {
    const char* tmp = std::getenv("TMPDIR");
    base = tmp && *tmp ? tmp : "/tmp";
  }
  std::string pattern = base + "/" + target + ".XXXXXX";
  std::vector<char> path(pattern.begin(), pattern.end());
  path.push_back('\0');
  if (::mkdtemp(path.data()) == nullptr) Fail(target, "cannot create a scratch folder");
  static std::filesystem::path folder;
  folder = path.data();
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  });
  return folder;
}

// Splits at every separator byte.
inline std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

}  // namespace vemo::fuzz
