// The browsers' trust in the local CA, on real NSS databases made by certutil in a temporary
// HOME laid out as a user's with Chromium, snap and Flatpak Chromium and Firefox profiles.

#include "platform/browser_trust.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include "platform/nss_database.h"
#include "platform/run_program.h"
#include "platform/server_certificate.h"
#include "tests/fakes/scoped_env.h"
#include "tests/fakes/test_support.h"

namespace vemo::platform {
namespace {

namespace fs = std::filesystem;
using Result = TrustOutcome::Result;

// certutil's own listing of a database, read apart from the code under test.
std::string Listing(const fs::path& folder) {
  const ProgramRun run =
      RunProgram({"certutil", "-L", "-d", "sql:" + folder.string()}, std::chrono::seconds(20));
  EXPECT_EQ(run.exit_code, 0) << run.output;
  return run.output;
}

// The trust flags the database lists for the nickname; "" when it is not there.
std::string TrustOf(const fs::path& folder, const std::string& nickname) {
  const std::regex line(
      "^" + std::regex_replace(nickname, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
      R"( +(\S*,\S*,\S*) *$)");
  std::istringstream lines(Listing(folder));
  for (std::string text; std::getline(lines, text);) {
    std::smatch match;
    if (std::regex_match(text, match, line)) return match[1];
  }
  return "";
}

// Nicknames of the program's CAs in the database.
std::vector<std::string> ProgramCas(const fs::path& folder) {
  std::vector<std::string> found;
  std::istringstream lines(Listing(folder));
  for (std::string text; std::getline(lines, text);) {
    if (text.starts_with(kCaNamePrefix)) {
      found.push_back(text.substr(0, text.find("  ")));
    }
  }
  return found;
}

void MakeDatabase(const fs::path& folder, const std::string& password = "") {
  fs::create_directories(folder);
  std::vector<std::string> args = {"certutil", "-N", "-d", "sql:" + folder.string()};
  if (password.empty()) {
    args.push_back("--empty-password");
  } else {
    test::WriteFileBytes(folder.parent_path() / "password", password + "\n");
    args.insert(args.end(), {"-f", (folder.parent_path() / "password").string()});
  }
  const ProgramRun run = RunProgram(args, std::chrono::seconds(20));
  ASSERT_EQ(run.exit_code, 0) << run.output;
}

void AddCertificate(const fs::path& folder, const fs::path& pem, const std::string& nickname,
                    const std::string& trust) {
  const ProgramRun run = RunProgram({"certutil", "-A", "-d", "sql:" + folder.string(), "-n",
                                     nickname, "-t", trust, "-a", "-i", pem.string()},
                                    std::chrono::seconds(20));
  ASSERT_EQ(run.exit_code, 0) << run.output;
}

// A self-signed CA that is not the program's, as PEM in a file.
fs::path OtherCa(const fs::path& folder, const std::string& name) {
  const fs::path key = folder / (name + ".key");
  const fs::path pem = folder / (name + ".pem");
  const ProgramRun run = RunProgram(
      {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
       "-days", "2", "-subj", "/CN=" + name, "-keyout", key.string(), "-out", pem.string()},
      std::chrono::seconds(20));
  EXPECT_EQ(run.exit_code, 0) << run.output;
  return pem;
}

class BrowserTrustTest : public ::testing::Test {
 protected:
  fs::path Home() const { return home_.path(); }
  fs::path Data() const { return home_.DataFolder(); }
  fs::path ChromiumDb() const { return Home() / ".local/share/pki/nssdb"; }
  fs::path SnapDb() const { return Home() / "snap/chromium/current/.pki/nssdb"; }
  fs::path FlatpakDb() const { return Home() / ".var/app/org.chromium.Chromium/.pki/nssdb"; }
  fs::path FirefoxDb() const { return Home() / ".mozilla/firefox/a1b2.default-release"; }
  fs::path FirefoxXdgDb() const { return Home() / ".config/mozilla/firefox/c3d4.work"; }
  fs::path FirefoxSnapDb() const { return Home() / "snap/firefox/common/.mozilla/firefox/e5.snap"; }
  fs::path FirefoxFlatpakDb() const {
    return Home() / ".var/app/org.mozilla.firefox/.mozilla/firefox/f6.flat";
  }

  // A user with every kind of browser but Chromium itself, which has not made its database
  // yet. The snap's "current" is a link to its revision, as snapd makes it.
  void LayOutBrowsers() {
    fs::create_directories(Home() / "snap/chromium/2890");
    fs::create_symlink("2890", Home() / "snap/chromium/current");
    for (const auto& db : {SnapDb(), FlatpakDb(), FirefoxDb(), FirefoxXdgDb(), FirefoxSnapDb(),
                           FirefoxFlatpakDb()}) {
      MakeDatabase(db);
    }
  }

  std::vector<fs::path> AllDatabases() const {
    return {ChromiumDb(),   SnapDb(),        FlatpakDb(),       FirefoxDb(),
            FirefoxXdgDb(), FirefoxSnapDb(), FirefoxFlatpakDb()};
  }

  std::string CurrentCaName() {
    std::string error;
    const auto ca = ReadLocalCa(Data() / kCaCertificateFile, &error);
    EXPECT_TRUE(ca) << error;
    return ca ? ca->nickname : "";
  }

  // Makes the next EnsureServerCertificate issue a new CA, as a renewal does.
  void ExpireCa() {
    fs::remove(Data() / kCaCertificateFile);
    fs::remove(Data() / kCaKeyFile);
  }

  std::string Record() const { return test::ReadFileBytes(Data() / kTrustRecordFile); }

  test::TempHome home_;
  test::ScopedEnv no_xdg_data_{"XDG_DATA_HOME", std::nullopt};
};

std::string Describe(const TrustReport& report) {
  std::string text = report.error;
  for (const auto& outcome : report.outcomes) text += "\n" + Describe(outcome);
  return text;
}

// Where the databases are looked for: each layout with the databases it should give, in order.
TEST_F(BrowserTrustTest, FindsTheDatabasesOfEveryLayout) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& home)> lay_out;
    std::vector<std::pair<std::string, std::string>> expected;  // browser, folder below home
    std::string xdg_data_home = {};                             // below home, when set
  };
  const std::vector<Case> cases = {
      {"a fresh home: Chromium's database where Chromium would make it",
       [](const fs::path&) {},
       {{"Chromium", ".local/share/pki/nssdb"}}},
      {"~/.pki/nssdb is there, even empty: Chromium keeps to it",
       [](const fs::path& home) {
         fs::create_directories(home / ".pki/nssdb");
         MakeDatabase(home / ".local/share/pki/nssdb");
       },
       {{"Chromium", ".pki/nssdb"}, {"Chromium", ".local/share/pki/nssdb"}}},
      {"$XDG_DATA_HOME moves Chromium's database",
       [](const fs::path&) {},
       {{"Chromium", "xdg-data/pki/nssdb"}},
       "xdg-data"},
      {"snap and Flatpak Chromium, in both their places",
       [](const fs::path& home) {
         MakeDatabase(home / "snap/chromium/current/.pki/nssdb");
         MakeDatabase(home / "snap/chromium/current/.local/share/pki/nssdb");
         MakeDatabase(home / ".var/app/org.chromium.Chromium/.pki/nssdb");
         MakeDatabase(home / ".var/app/org.chromium.Chromium/data/pki/nssdb");
       },
       {{"Chromium", ".local/share/pki/nssdb"},
        {"Chromium (snap)", "snap/chromium/current/.pki/nssdb"},
        {"Chromium (snap)", "snap/chromium/current/.local/share/pki/nssdb"},
        {"Chromium (Flatpak)", ".var/app/org.chromium.Chromium/.pki/nssdb"},
        {"Chromium (Flatpak)", ".var/app/org.chromium.Chromium/data/pki/nssdb"}}},
      {"Firefox: profiles.ini first (relative and absolute paths), then the folder; a profile "
       "without a database and a file are no databases; a link to a profile counts once",
       [](const fs::path& home) {
         const fs::path root = home / ".mozilla/firefox";
         MakeDatabase(root / "z9.default-release");
         MakeDatabase(root / "b2.in-folder");
         MakeDatabase(home / "elsewhere/absolute");
         fs::create_directories(root / "c3.never-started");
         fs::create_directory_symlink("z9.default-release", root / "y8.link");
         test::WriteFileBytes(root / "installs.ini", "[X]\r\nDefault=z9.default-release\r\n");
         test::WriteFileBytes(
             root / "profiles.ini",
             "[General]\r\nStartWithLastProfile=1\r\n\r\n[Profile1]\r\nName=other\r\n"
             "IsRelative=0\r\nPath=" +
                 (home / "elsewhere/absolute").string() +
                 "\r\n\r\n[Profile0]\r\nName=default-release\r\nIsRelative=1\r\n"
                 "Path=z9.default-release\r\nDefault=1\r\n\r\n[Install4F96D1932A9F858E]\r\n"
                 "Default=c3.never-started\r\n");
       },
       {{"Chromium", ".local/share/pki/nssdb"},
        {"Firefox, profile absolute", "elsewhere/absolute"},
        {"Firefox, profile z9.default-release", ".mozilla/firefox/z9.default-release"},
        {"Firefox, profile b2.in-folder", ".mozilla/firefox/b2.in-folder"}}},
      {"Firefox in $XDG_CONFIG_HOME, snap and Flatpak",
       [](const fs::path& home) {
         MakeDatabase(home / ".config/mozilla/firefox/p.xdg");
         MakeDatabase(home / "snap/firefox/common/.mozilla/firefox/p.snap");
         MakeDatabase(home / ".var/app/org.mozilla.firefox/.mozilla/firefox/p.flatpak");
         MakeDatabase(home / ".var/app/org.mozilla.firefox/config/mozilla/firefox/p.xdg");
       },
       {{"Chromium", ".local/share/pki/nssdb"},
        {"Firefox, profile p.xdg", ".config/mozilla/firefox/p.xdg"},
        {"Firefox (snap), profile p.snap", "snap/firefox/common/.mozilla/firefox/p.snap"},
        {"Firefox (Flatpak), profile p.flatpak",
         ".var/app/org.mozilla.firefox/.mozilla/firefox/p.flatpak"},
        {"Firefox (Flatpak), profile p.xdg",
         ".var/app/org.mozilla.firefox/config/mozilla/firefox/p.xdg"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempHome home;
    std::optional<test::ScopedEnv> xdg_data;
    if (!c.xdg_data_home.empty()) {
      xdg_data.emplace("XDG_DATA_HOME", (home.path() / c.xdg_data_home).string());
    }
    c.lay_out(home.path());
    std::vector<std::pair<std::string, std::string>> found;
    bool first = true;
    for (const auto& database : FindBrowserDatabases()) {
      found.emplace_back(database.browser,
                         database.folder.lexically_relative(home.path()).string());
      // Only Chromium's own, listed first, is made when missing.
      EXPECT_EQ(database.create_when_missing, first) << database.folder;
      first = false;
    }
    EXPECT_EQ(found, c.expected);
  }
}

TEST_F(BrowserTrustTest, InstallAddsTheCaEverywhereAndRemoveTakesItOut) {
  LayOutBrowsers();
  const TrustReport installed = InstallLocalCa(Data());
  ASSERT_TRUE(installed.ok()) << Describe(installed);
  ASSERT_EQ(installed.outcomes.size(), AllDatabases().size()) << Describe(installed);
  EXPECT_TRUE(installed.outcomes.front().created) << "Chromium's database is made";
  const std::string name = CurrentCaName();
  EXPECT_TRUE(std::regex_match(name, std::regex("Vemo_Server_Crypt local CA [0-9a-f]{8}"))) << name;
  for (const auto& db : AllDatabases()) EXPECT_EQ(TrustOf(db, name), "C,,") << db;
  for (const auto& outcome : installed.outcomes) EXPECT_EQ(outcome.result, Result::kAdded);
  const std::string record = Record();
  EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), 2 + 7) << record;

  // Again: nothing to add.
  const TrustReport again = InstallLocalCa(Data());
  ASSERT_TRUE(again.ok()) << Describe(again);
  for (const auto& outcome : again.outcomes) EXPECT_EQ(outcome.result, Result::kPresent);

  const TrustReport removed = RemoveLocalCa(Data());
  ASSERT_TRUE(removed.ok()) << Describe(removed);
  ASSERT_EQ(removed.outcomes.size(), AllDatabases().size());
  for (const auto& outcome : removed.outcomes) EXPECT_EQ(outcome.result, Result::kRemoved);
  for (const auto& db : AllDatabases()) EXPECT_EQ(TrustOf(db, name), "") << db;
  EXPECT_EQ(Record().find("nssdb"), std::string::npos) << "the record is emptied";

  // The user took it out: a start does not bring it back.
  const StartTrust start = KeepLocalCaTrusted(Data());
  EXPECT_EQ(start.action, StartTrustAction::kNothing);
  for (const auto& db : AllDatabases()) EXPECT_EQ(TrustOf(db, name), "") << db;

  const TrustReport nothing_left = RemoveLocalCa(Data());
  ASSERT_TRUE(nothing_left.ok());
  for (const auto& outcome : nothing_left.outcomes) EXPECT_EQ(outcome.result, Result::kAbsent);
}

TEST_F(BrowserTrustTest, FirstStartInstallsOnceThenRunsNothing) {
  LayOutBrowsers();
  const StartTrust first = KeepLocalCaTrusted(Data());
  EXPECT_EQ(first.action, StartTrustAction::kFirstInstall);
  ASSERT_TRUE(first.report.ok()) << Describe(first.report);
  const std::string name = CurrentCaName();
  for (const auto& db : AllDatabases()) EXPECT_EQ(TrustOf(db, name), "C,,") << db;

  // All as recorded: nothing is run (without certutil on the PATH there would be an error).
  test::ScopedEnv no_tools("PATH", "/nonexistent");
  const StartTrust second = KeepLocalCaTrusted(Data());
  EXPECT_EQ(second.action, StartTrustAction::kNothing);
  EXPECT_TRUE(second.report.ok()) << Describe(second.report);
  EXPECT_TRUE(second.report.outcomes.empty());
}

TEST_F(BrowserTrustTest, RenewalFollowsTheRecordAndDropsTheOldCa) {
  LayOutBrowsers();
  ASSERT_TRUE(KeepLocalCaTrusted(Data()).report.ok());
  const std::string old_name = CurrentCaName();
  // A database the user made later is not in the record: the renewal leaves it alone.
  const fs::path later = Home() / ".mozilla/firefox/g7.later";
  MakeDatabase(later);
  // One that is gone leaves the record; one that got a password is reported and kept.
  fs::remove_all(FirefoxSnapDb());
  test::WriteFileBytes(Home() / "no-password", "\n");
  test::WriteFileBytes(Home() / "new-password", "secret\n");
  const ProgramRun password =
      RunProgram({"certutil", "-W", "-d", "sql:" + FirefoxXdgDb().string(), "-f",
                  (Home() / "no-password").string(), "-@", (Home() / "new-password").string()},
                 std::chrono::seconds(20));
  ASSERT_EQ(password.exit_code, 0) << password.output;

  ExpireCa();
  const StartTrust renewal = KeepLocalCaTrusted(Data());
  EXPECT_EQ(renewal.action, StartTrustAction::kRenewal);
  const std::string new_name = CurrentCaName();
  ASSERT_NE(new_name, old_name);
  std::map<fs::path, TrustOutcome> by_folder;
  for (const auto& outcome : renewal.report.outcomes) by_folder[outcome.database.folder] = outcome;
  EXPECT_EQ(by_folder.size(), 7u) << Describe(renewal.report);
  EXPECT_EQ(by_folder[FirefoxSnapDb()].result, Result::kGone);
  for (const auto& db : {ChromiumDb(), SnapDb(), FlatpakDb(), FirefoxDb(), FirefoxFlatpakDb()}) {
    EXPECT_EQ(by_folder[db].result, Result::kAdded) << db;
    EXPECT_EQ(by_folder[db].older_removed, 1) << db;
    EXPECT_EQ(TrustOf(db, new_name), "C,,") << db;
    EXPECT_EQ(TrustOf(db, old_name), "") << db;
  }
  EXPECT_EQ(by_folder[ChromiumDb()].database.browser, "Chromium");
  EXPECT_EQ(ProgramCas(later), std::vector<std::string>{});
  EXPECT_EQ(Record().find(FirefoxSnapDb().string()), std::string::npos) << Record();

  EXPECT_EQ(by_folder[FirefoxXdgDb()].result, Result::kFailed);
  EXPECT_EQ(TrustOf(FirefoxXdgDb(), old_name), "C,,") << "left as it was";
  EXPECT_EQ(TrustOf(FirefoxXdgDb(), new_name), "") << "nothing half-added";
  EXPECT_NE(Record().find(FirefoxXdgDb().string()), std::string::npos) << "tried again later";
  // The next start tries the protected one again, and only that one.
  const StartTrust retry = KeepLocalCaTrusted(Data());
  EXPECT_EQ(retry.action, StartTrustAction::kRenewal);
  ASSERT_EQ(retry.report.outcomes.size(), 1u) << Describe(retry.report);
  EXPECT_EQ(retry.report.outcomes.front().result, Result::kFailed);
}

TEST_F(BrowserTrustTest, ADeletedDataFolderMeansANewCaInPlaceOfTheOld) {
  LayOutBrowsers();
  ASSERT_TRUE(KeepLocalCaTrusted(Data()).report.ok());
  const std::string old_name = CurrentCaName();
  fs::remove_all(Data());
  const StartTrust start = KeepLocalCaTrusted(Data());
  EXPECT_EQ(start.action, StartTrustAction::kFirstInstall);
  ASSERT_TRUE(start.report.ok()) << Describe(start.report);
  const std::string new_name = CurrentCaName();
  ASSERT_NE(new_name, old_name);
  for (const auto& db : AllDatabases()) {
    EXPECT_EQ(ProgramCas(db), std::vector<std::string>{new_name}) << db;
  }
}

TEST_F(BrowserTrustTest, EachDatabaseStandsAlone) {
  // Chromium's database has a password (as a Firefox primary password does); the others do not.
  MakeDatabase(ChromiumDb(), "secret");
  MakeDatabase(FirefoxDb());
  const fs::path other = OtherCa(Home(), "Some bank root");
  AddCertificate(FirefoxDb(), other, "Some bank root", "C,,");
  // An earlier CA of the program under the name without digits, one distrusted by the user,
  // and a name that only begins like the program's.
  const fs::path old_ca = OtherCa(Home(), "old");
  AddCertificate(FirefoxDb(), old_ca, kCaNamePrefix, "C,,");
  const fs::path look_alike = OtherCa(Home(), "look-alike");
  AddCertificate(FirefoxDb(), look_alike, std::string(kCaNamePrefix) + "s of another", "C,,");

  const TrustReport report = InstallLocalCa(Data());
  EXPECT_FALSE(report.ok());
  ASSERT_EQ(report.outcomes.size(), 2u) << Describe(report);
  EXPECT_EQ(report.outcomes[0].result, Result::kFailed);
  EXPECT_NE(report.outcomes[0].error.find("SEC_ERROR_BAD_PASSWORD"), std::string::npos)
      << report.outcomes[0].error;
  EXPECT_EQ(ProgramCas(ChromiumDb()), std::vector<std::string>{}) << "nothing half-added";
  EXPECT_EQ(report.outcomes[1].result, Result::kAdded);
  EXPECT_EQ(report.outcomes[1].older_removed, 1);
  const std::string name = CurrentCaName();
  EXPECT_EQ(TrustOf(FirefoxDb(), name), "C,,");
  EXPECT_EQ(TrustOf(FirefoxDb(), kCaNamePrefix), "");
  EXPECT_EQ(TrustOf(FirefoxDb(), "Some bank root"), "C,,");
  EXPECT_EQ(TrustOf(FirefoxDb(), std::string(kCaNamePrefix) + "s of another"), "C,,");
  EXPECT_NE(Describe(report.outcomes[0]).find("FAILED"), std::string::npos);

  // The user distrusted it in the browser; installing again trusts it again.
  AddCertificate(FirefoxDb(), Data() / kCaCertificateFile, name, ",,");
  ASSERT_EQ(TrustOf(FirefoxDb(), name), ",,");
  const TrustOutcome again = TrustInDatabase({"Firefox", FirefoxDb(), false}, *report.ca);
  EXPECT_EQ(again.result, Result::kAdded) << again.error;
  EXPECT_EQ(TrustOf(FirefoxDb(), name), "C,,");
}

TEST_F(BrowserTrustTest, WithoutCertutilNothingIsRecordedAndTheNextStartTriesAgain) {
  {
    test::ScopedEnv no_tools("PATH", "/nonexistent");
    const StartTrust start = KeepLocalCaTrusted(Data());
    EXPECT_EQ(start.action, StartTrustAction::kFirstInstall);
    EXPECT_NE(start.report.error.find("libnss3-tools"), std::string::npos) << start.report.error;
    EXPECT_FALSE(fs::exists(Data() / kTrustRecordFile));
    const TrustReport removal = RemoveLocalCa(Data());
    EXPECT_NE(removal.error.find("libnss3-tools"), std::string::npos) << removal.error;
  }
  const StartTrust start = KeepLocalCaTrusted(Data());
  EXPECT_EQ(start.action, StartTrustAction::kFirstInstall);
  EXPECT_TRUE(start.report.ok()) << Describe(start.report);
  EXPECT_EQ(TrustOf(ChromiumDb(), CurrentCaName()), "C,,");
}

TEST(RunProgramTest, CollectsOutputExitCodeAndEndsWhatOverrunsItsTime) {
  const ProgramRun echo =
      RunProgram({"sh", "-c", "echo out; echo err >&2; exit 3"}, std::chrono::seconds(10));
  EXPECT_TRUE(echo.started);
  EXPECT_FALSE(echo.timed_out);
  EXPECT_EQ(echo.exit_code, 3);
  EXPECT_EQ(echo.output, "out\nerr\n");

  const ProgramRun input = RunProgram({"cat"}, std::chrono::seconds(10));
  EXPECT_EQ(input.exit_code, 0) << "standard input is empty, not ours";
  EXPECT_EQ(input.output, "");

  const auto start = std::chrono::steady_clock::now();
  // A child that keeps the output open, and one that closed it but runs on.
  for (const char* script : {"sleep 30 & sleep 30", "exec >/dev/null 2>&1; sleep 30"}) {
    const ProgramRun slow = RunProgram({"sh", "-c", script}, std::chrono::milliseconds(300));
    EXPECT_TRUE(slow.timed_out) << script;
    EXPECT_EQ(slow.exit_code, -1) << script;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  const ProgramRun missing = RunProgram({"vemo-no-such-program"}, std::chrono::seconds(10));
  EXPECT_FALSE(missing.started);
  EXPECT_NE(missing.output.find("No such file"), std::string::npos) << missing.output;
}

}  // namespace
}  // namespace vemo::platform
