#include "platform/browser_databases.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>

#include "platform/files.h"

namespace vemo::platform {
namespace {

namespace fs = std::filesystem;

constexpr char kDatabaseFile[] = "cert9.db";

std::string NonEmptyEnv(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

fs::path Home() { return HomeFolder(); }

// An XDG base folder: the variable when it holds an absolute path, else the default below HOME.
fs::path XdgFolder(const char* variable, const fs::path& fallback) {
  const fs::path value = NonEmptyEnv(variable);
  return value.is_absolute() ? value : fallback;
}

bool HasDatabase(const fs::path& folder) {
  std::error_code ignored;
  return fs::is_regular_file(folder / kDatabaseFile, ignored);
}

// The profile folders that a Firefox profiles.ini names ("Path=", relative to the ini's folder
// when "IsRelative=1"), in file order.
std::vector<fs::path> ProfilesInIni(const fs::path& root) {
  std::vector<fs::path> profiles;
  std::ifstream ini(root / "profiles.ini");
  std::string path;
  bool relative = true;
  bool in_profile = false;
  const auto flush = [&] {
    if (in_profile && !path.empty()) profiles.push_back(relative ? root / path : fs::path(path));
    path.clear();
    relative = true;
  };
  for (std::string line; std::getline(ini, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.starts_with('[')) {
      flush();
      in_profile = line.starts_with("[Profile");
    } else if (line.starts_with("Path=")) {
      path = line.substr(5);
    } else if (line.starts_with("IsRelative=")) {
      relative = line.substr(11) != "0";
    }
  }
  flush();
  return profiles;
}

// Collects databases, each once (by the folder that links resolve to).
class Collector {
 public:
  void Add(std::string browser, const fs::path& folder, bool create_when_missing = false) {
    if (!create_when_missing && !HasDatabase(folder)) return;
    std::error_code ignored;
    const fs::path key = fs::weakly_canonical(folder, ignored);
    if (!seen_.insert(key.empty() ? folder : key).second) return;
    found_.push_back({std::move(browser), folder, create_when_missing});
  }

  void AddFirefoxProfiles(const std::string& browser, const fs::path& root) {
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return;
    std::vector<fs::path> profiles = ProfilesInIni(root);
    std::vector<fs::path> in_folder;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
      if (it->is_directory(ec)) in_folder.push_back(it->path());
    }
    std::sort(in_folder.begin(), in_folder.end());
    profiles.insert(profiles.end(), in_folder.begin(), in_folder.end());
    for (const auto& profile : profiles) {
      Add(browser + ", profile " + profile.filename().string(), profile);
    }
  }

  std::vector<BrowserDatabase> Take() { return std::move(found_); }

 private:
  std::set<fs::path> seen_;
  std::vector<BrowserDatabase> found_;
};

}  // namespace

std::vector<BrowserDatabase> FindBrowserDatabases() {
  const fs::path home = Home();
  if (home.empty()) return {};
  const fs::path config = XdgFolder("XDG_CONFIG_HOME", home / ".config");
  const fs::path data = XdgFolder("XDG_DATA_HOME", home / ".local" / "share");
  Collector found;

  // Chromium keeps to ~/.pki/nssdb once that folder exists, and makes its database there.
  const fs::path legacy = home / ".pki" / "nssdb";
  const fs::path current = data / "pki" / "nssdb";
  std::error_code ec;
  const bool legacy_in_use = fs::is_directory(legacy, ec);
  found.Add("Chromium", legacy_in_use ? legacy : current, true);
  found.Add("Chromium", legacy_in_use ? current : legacy);

  const fs::path snap_chromium = home / "snap" / "chromium" / "current";
  found.Add("Chromium (snap)", snap_chromium / ".pki" / "nssdb");
  found.Add("Chromium (snap)", snap_chromium / ".local" / "share" / "pki" / "nssdb");
  const fs::path flatpak_chromium = home / ".var" / "app" / "org.chromium.Chromium";
  found.Add("Chromium (Flatpak)", flatpak_chromium / ".pki" / "nssdb");
  found.Add("Chromium (Flatpak)", flatpak_chromium / "data" / "pki" / "nssdb");

  found.AddFirefoxProfiles("Firefox", home / ".mozilla" / "firefox");
  found.AddFirefoxProfiles("Firefox", config / "mozilla" / "firefox");
  found.AddFirefoxProfiles("Firefox (snap)",
                           home / "snap" / "firefox" / "common" / ".mozilla" / "firefox");
  const fs::path flatpak_firefox = home / ".var" / "app" / "org.mozilla.firefox";
  found.AddFirefoxProfiles("Firefox (Flatpak)", flatpak_firefox / ".mozilla" / "firefox");
  found.AddFirefoxProfiles("Firefox (Flatpak)", flatpak_firefox / "config" / "mozilla" / "firefox");
  return found.Take();
}

}  // namespace vemo::platform
