// The data folder as the program leaves it: the user's alone after a first start, and narrowed
// at a start over a folder that others could read, with one event log entry that says so.

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/service/service_fixture.h"

namespace vemo::test {
namespace {

namespace fs = std::filesystem;

unsigned Mode(const fs::path& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// The folder's mode and the modes of the files in it, by name.
std::map<std::string, unsigned> Modes(const fs::path& folder) {
  std::map<std::string, unsigned> modes{{".", Mode(folder)}};
  for (const auto& entry : fs::directory_iterator(folder)) {
    modes[entry.path().filename().string()] = Mode(entry.path());
  }
  return modes;
}

const std::map<std::string, unsigned> kPrivate = {
    {".", 0700},
    {"Vemo_Server_Crypt.ini", 0600},
    {"Vemo_Server_Crypt_Z.log", 0600},
    {"localhost-ca.key", 0600},
    {"localhost-ca.pem", 0600},
    {"localhost.key", 0600},
    {"localhost.pem", 0600},
};

class DataFolderTest : public ServiceTest {
 protected:
  DataFolderTest() {
    ResetEventLogForTesting();  // the start makes the folder and starts the log itself
    fs::remove_all(home_.DataFolder());
  }

  // A start of the program without its window, and its end.
  void StartAndEnd() {
    RecordingWindow window;
    ScriptedPrompt prompt;
    Providers providers(prompt);
    SigningService service(window, providers, Options());
    service.InitializeWindow();
    ASSERT_TRUE(service.ServerRunning());
    EXPECT_EQ(GetBody("/?action=checkLs"), R"({"status":"OK"})");  // an event log entry
    service.StopServer();
  }
};

TEST_F(DataFolderTest, FirstStartMakesEverythingTheUsersAlone) {
  StartAndEnd();
  EXPECT_EQ(Modes(home_.DataFolder()), kPrivate);
  for (const std::string& entry : Log()) {
    EXPECT_EQ(entry.find("Data folder made private"), std::string::npos) << entry;
  }
}

TEST_F(DataFolderTest, StartOverAFolderOthersCouldReadNarrowsItOnce) {
  StartAndEnd();
  const fs::path folder = home_.DataFolder();
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  for (const auto& [name, mode] : kPrivate) {
    if (name != ".") {
      ASSERT_EQ(::chmod((folder / name).c_str(), 0644), 0);
    }
  }
  // A link in the folder is not followed: what it points at keeps its mode.
  const fs::path outside = home_.path() / "outside.txt";
  WriteFileBytes(outside, "not ours to change");
  ASSERT_EQ(::chmod(outside.c_str(), 0644), 0);
  fs::create_symlink(outside, folder / "Vemo_Server_Crypt_Z.log1");
  fs::remove(folder / "Vemo_Server_Crypt_Z.log");

  StartAndEnd();
  std::map<std::string, unsigned> expected = kPrivate;
  expected["Vemo_Server_Crypt_Z.log1"] = 0777;  // the link itself
  EXPECT_EQ(Modes(folder), expected);
  EXPECT_EQ(Mode(outside), 0644u);
  const std::vector<std::string> log = Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front(),
            "Data folder made private to its user | Tramontel_Vemo_Server_Crypt 0755, "
            "Vemo_Server_Crypt.ini 0644, localhost-ca.key 0644, localhost-ca.pem 0644, "
            "localhost.key 0644, localhost.pem 0644")
      << "the folder first, then the files by name";

  // Nothing left to narrow: no entry at the next start.
  StartAndEnd();
  const auto again = Log();
  EXPECT_EQ(std::count_if(again.begin(), again.end(),
                          [](const std::string& entry) {
                            return entry.starts_with("Data folder made private");
                          }),
            1);
}

}  // namespace
}  // namespace vemo::test
