#include "platform/ini_file.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/fakes/test_support.h"

namespace vemo::platform {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::TempHome;
using test::U8;
using test::WriteFileBytes;

constexpr char16_t kSection[] = u"Vemo_Server_Crypt Settings";
constexpr char16_t kKey[] = u"defaultProvider";
// "Авест" and "Энигма" in code page 1251.
constexpr char kAvest1251[] = "\xC0\xE2\xE5\xF1\xF2";
constexpr char kEnigma1251[] = "\xDD\xED\xE8\xE3\xEC\xE0";

class IniFileTest : public ::testing::Test {
 protected:
  fs::path File() const { return home_.path() / "Vemo_Server_Crypt.ini"; }
  std::u16string Read(std::u16string_view section = kSection, std::u16string_view key = kKey,
                      size_t buffer_chars = 10) const {
    return GetPrivateProfileString(section, key, u"none", buffer_chars, File());
  }
  TempHome home_;
};

TEST_F(IniFileTest, ReadsTheValueAsTheSystemFunctionDoes) {
  const std::string avest = kAvest1251;
  struct Case {
    const char* name;
    std::string file;
    std::u16string section;
    std::u16string key;
    size_t buffer_chars;
    std::u16string expected;
  };
  const Case cases[] = {
      {"CR LF", "[Vemo_Server_Crypt Settings]\r\ndefaultProvider=" + avest + "\r\n", kSection, kKey,
       10, u"Авест"},
      {"LF, no end", "[Vemo_Server_Crypt Settings]\ndefaultProvider=" + avest, kSection, kKey, 10,
       u"Авест"},
      {"letter case", "[VEMO_server_crypt SETTINGS]\r\nDefaultPROVIDER=" + avest + "\r\n", kSection,
       kKey, 10, u"Авест"},
      {"Cyrillic case", "[" + std::string(kEnigma1251) + "]\r\n" + avest + "=1\r\n", u"эНИГМА",
       u"аВЕСТ", 10, u"1"},
      {"blanks",
       "  [ Vemo_Server_Crypt Settings ]  \r\n \t defaultProvider \t=  " + avest + " \t\r\n",
       kSection, kKey, 10, u"Авест"},
      {"double quotes", "[Vemo_Server_Crypt Settings]\r\ndefaultProvider=\" " + avest + " \"\r\n",
       kSection, kKey, 10, u" Авест "},
      {"single quotes", "[Vemo_Server_Crypt Settings]\r\ndefaultProvider='x'\r\n", kSection, kKey,
       10, u"x"},
      {"unmatched quotes", "[Vemo_Server_Crypt Settings]\r\ndefaultProvider=\"x'\r\n", kSection,
       kKey, 10, u"\"x'"},
      {"ten characters", "[Vemo_Server_Crypt Settings]\r\ndefaultProvider=0123456789\r\n", kSection,
       kKey, 10, u"012345678"},
      {"nine characters", "[Vemo_Server_Crypt Settings]\r\ndefaultProvider=012345678\r\n", kSection,
       kKey, 10, u"012345678"},
      {"empty value", "[Vemo_Server_Crypt Settings]\r\ndefaultProvider=\r\n", kSection, kKey, 10,
       u""},
      {"key in another section",
       "[Other]\r\ndefaultProvider=a\r\n[Vemo_Server_Crypt Settings]\r\n"
       "defaultProvider=b\r\n",
       kSection, kKey, 10, u"b"},
      {"first of two", "[Vemo_Server_Crypt Settings]\r\ndefaultProvider=a\r\ndefaultProvider=b\r\n",
       kSection, kKey, 10, u"a"},
      {"missing key", "[Vemo_Server_Crypt Settings]\r\nother=a\r\n", kSection, kKey, 10, u"none"},
      {"missing section", "[Other]\r\ndefaultProvider=a\r\n", kSection, kKey, 10, u"none"},
      {"key before any section", "defaultProvider=a\r\n[Vemo_Server_Crypt Settings]\r\n", kSection,
       kKey, 10, u"none"},
      {"default cut", "", kSection, kKey, 3, u"no"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFileBytes(File(), c.file);
    EXPECT_EQ(U8(Read(c.section, c.key, c.buffer_chars)), U8(c.expected));
  }
  fs::remove(File());
  EXPECT_EQ(U8(Read()), "none");
  EXPECT_EQ(U8(Read(kSection, kKey, 0)), "");
}

TEST_F(IniFileTest, WritingAnEmptyFileAddsSectionAndKeyIn1251) {
  for (bool exists : {true, false}) {
    SCOPED_TRACE(exists);
    fs::remove(File());
    if (exists) WriteFileBytes(File(), "");
    ASSERT_TRUE(WritePrivateProfileString(kSection, kKey, u"Авест", File()));
    EXPECT_EQ(
        ReadFileBytes(File()),
        std::string("[Vemo_Server_Crypt Settings]\r\ndefaultProvider=") + kAvest1251 + "\r\n");
    EXPECT_EQ(U8(Read()), "Авест");
  }
}

TEST_F(IniFileTest, WritingKeepsTheRestOfTheFile) {
  const std::string enigma = kEnigma1251;
  struct Case {
    const char* name;
    std::string before;
    std::string after;
  };
  const Case cases[] = {
      {"value replaced",
       "; note\n[Other]\nkey=1\n\n[VEMO_SERVER_CRYPT SETTINGS]\nDEFAULTPROVIDER = " + enigma +
           "\nother=2\n",
       "; note\n[Other]\nkey=1\n\n[VEMO_SERVER_CRYPT SETTINGS]\ndefaultProvider=" +
           std::string(kAvest1251) + "\r\nother=2\n"},
      {"key added after the last entry",
       "[Vemo_Server_Crypt Settings]\r\nother=2\r\n\r\n[Next]\r\nx=1",
       "[Vemo_Server_Crypt Settings]\r\nother=2\r\ndefaultProvider=" + std::string(kAvest1251) +
           "\r\n\r\n[Next]\r\nx=1"},
      {"section added at the end", "[Other]\r\nkey=1",
       "[Other]\r\nkey=1\r\n[Vemo_Server_Crypt Settings]\r\ndefaultProvider=" +
           std::string(kAvest1251) + "\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFileBytes(File(), c.before);
    ASSERT_TRUE(WritePrivateProfileString(kSection, kKey, u"Авест", File()));
    EXPECT_EQ(ReadFileBytes(File()), c.after);
  }
  // What code page 1251 lacks is written as "?".
  ASSERT_TRUE(WritePrivateProfileString(kSection, kKey, u"Авест✓", File()));
  EXPECT_EQ(U8(Read()), "Авест?");
  // No temporary file is left beside it.
  int files = 0;
  for (const auto& entry : fs::directory_iterator(home_.path())) {
    files += entry.path().filename().string().rfind("Vemo_Server_Crypt", 0) == 0;
  }
  EXPECT_EQ(files, 1);
}

// Runs the write as a user without rights on the folder, as an administrator-owned folder is
// to the program.
bool WriteAsOtherUser(const fs::path& file) {
  if (::geteuid() != 0) return WritePrivateProfileString(kSection, kKey, u"Авест", file);
  const passwd* nobody = ::getpwnam("nobody");
  const uid_t uid = nobody ? nobody->pw_uid : 65534;
  const gid_t gid = nobody ? nobody->pw_gid : 65534;
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0) ::_exit(2);
    ::_exit(WritePrivateProfileString(kSection, kKey, u"Авест", file) ? 1 : 0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 2);
  return WIFEXITED(status) && WEXITSTATUS(status) == 1;
}

TEST_F(IniFileTest, FailsWhereTheFileCannotBeWritten) {
  EXPECT_FALSE(WritePrivateProfileString(kSection, kKey, u"Авест", home_.path() / "no" / "x.ini"));
  WriteFileBytes(home_.path() / "file", "");
  EXPECT_FALSE(WritePrivateProfileString(kSection, kKey, u"x", home_.path() / "file" / "x.ini"));

  const fs::path locked = home_.path() / "locked";
  fs::create_directory(locked);
  ASSERT_EQ(::chmod(home_.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(locked.c_str(), ::geteuid() == 0 ? 0755 : 0555), 0);
  WriteFileBytes(locked / "Vemo_Server_Crypt.ini", "[Other]\r\n");
  EXPECT_FALSE(WriteAsOtherUser(locked / "Vemo_Server_Crypt.ini"));
  EXPECT_EQ(ReadFileBytes(locked / "Vemo_Server_Crypt.ini"), "[Other]\r\n");
  EXPECT_FALSE(WriteAsOtherUser(locked / "new.ini"));
  EXPECT_FALSE(fs::exists(locked / "new.ini"));
}

}  // namespace
}  // namespace vemo::platform
