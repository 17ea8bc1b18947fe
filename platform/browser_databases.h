#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vemo::platform {

// A certificate database that one of the user's browsers reads.
struct BrowserDatabase {
  std::string browser;  // who reads it, for people: "Chromium", "Firefox (snap), profile x"
  std::filesystem::path folder;
  // Chromium's own database where Chromium would make it: created when missing, since a
  // fresh Chromium profile has none until its first secure page.
  bool create_when_missing = false;
};

// The user's browser certificate databases, from $HOME, $XDG_CONFIG_HOME and $XDG_DATA_HOME:
//  - Chromium (and Google Chrome, which shares it): ~/.pki/nssdb when that folder exists, else
//    $XDG_DATA_HOME/pki/nssdb (default ~/.local/share/pki/nssdb), the one Chromium uses and
//    makes; the other of the two as well when it holds a database;
//  - the snap Chromium's (~/snap/chromium/current/.pki/nssdb, .local/share/pki/nssdb there)
//    and the Flatpak Chromium's (~/.var/app/org.chromium.Chromium/.pki/nssdb, data/pki/nssdb);
//  - every Firefox profile that has a database, in ~/.mozilla/firefox,
//    $XDG_CONFIG_HOME/mozilla/firefox, ~/snap/firefox/common/.mozilla/firefox and
//    ~/.var/app/org.mozilla.firefox/.mozilla/firefox (and its config/mozilla/firefox): those
//    that profiles.ini names, wherever they are, and those in the folder itself.
// Only Chromium's own may be missing; each database is listed once, whatever links lead to it.
std::vector<BrowserDatabase> FindBrowserDatabases();

}  // namespace vemo::platform
