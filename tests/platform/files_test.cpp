#include "platform/files.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/fakes/scoped_env.h"
#include "tests/fakes/test_support.h"

namespace vemo::platform {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::ScopedEnv;
using test::TempHome;
using test::WriteFileBytes;

mode_t ModeOf(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

uid_t NobodyUid() {
  const passwd* nobody = ::getpwnam("nobody");
  return nobody ? nobody->pw_uid : 65534;
}

TEST(Files, ReadOnlyIsTheMissingOwnerWriteBit) {
  TempHome home;
  const fs::path file = home.path() / "sign.tmp";
  struct Case {
    mode_t mode;
    bool read_only;
    mode_t cleared;
  };
  const Case cases[] = {
      {0444, true, 0644},  {0400, true, 0600},  {0000, true, 0200},
      {0640, false, 0640}, {0200, false, 0200}, {04555, true, 04755},
  };
  WriteFileBytes(file, "x");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    ASSERT_EQ(::chmod(file.c_str(), c.mode), 0);
    EXPECT_EQ(IsReadOnly(file), c.read_only);
    EXPECT_TRUE(ClearReadOnly(file));
    EXPECT_EQ(ModeOf(file), c.cleared);
    EXPECT_FALSE(IsReadOnly(file));
  }
  // A read-only file can then go, as the signer's leftovers must.
  ASSERT_EQ(::chmod(file.c_str(), 0444), 0);
  EXPECT_TRUE(ClearReadOnly(file) && DeleteFile(file));
  EXPECT_FALSE(PathExists(file));
  EXPECT_FALSE(IsReadOnly(file));
  EXPECT_FALSE(ClearReadOnly(file));
}

TEST(Files, LinksAreSeenButNotFollowed) {
  TempHome home;
  const fs::path target = home.path() / "target";
  const fs::path link = home.path() / "sign.tmp";
  WriteFileBytes(target, "precious");
  ASSERT_EQ(::chmod(target.c_str(), 0444), 0);
  fs::create_symlink(target, link);
  EXPECT_TRUE(PathExists(link));
  EXPECT_FALSE(ClearReadOnly(link));
  EXPECT_EQ(ModeOf(target), 0444u);
  EXPECT_FALSE(CreateAndWriteFile(link, "attack"));
  EXPECT_FALSE(ReadFileFrom(link, 0));
  EXPECT_TRUE(DeleteFile(link));
  EXPECT_EQ(ReadFileBytes(target), "precious");

  // A dangling link still counts as there, so that it is removed before the new file.
  fs::create_symlink(home.path() / "nothing", link);
  EXPECT_TRUE(PathExists(link));
  EXPECT_FALSE(CreateAndWriteFile(link, "attack"));
  EXPECT_FALSE(fs::exists(home.path() / "nothing"));
}

TEST(Files, CreateAndWriteFileMakesOnlyNewPrivateFiles) {
  TempHome home;
  const fs::path file = home.path() / "sign.tmp";
  const std::string document = std::string(100000, 'a') + std::string("\0\xFF", 2);
  ASSERT_TRUE(CreateAndWriteFile(file, document));
  EXPECT_EQ(ReadFileBytes(file), document);
  EXPECT_EQ(ModeOf(file), 0600u);
  EXPECT_FALSE(CreateAndWriteFile(file, "other"));
  EXPECT_EQ(ReadFileBytes(file), document);
  EXPECT_FALSE(CreateAndWriteFile(home.path() / "no_folder" / "sign.tmp", "x"));
  EXPECT_TRUE(IsDirectory(home.path()));
  EXPECT_FALSE(IsDirectory(file));
}

// The names in the folder, sorted.
std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Files, WriteFileAtomicallyReplacesTheWholeFileWithItsOwnMode) {
  TempHome home;
  const fs::path folder = home.path() / "data";
  fs::create_directories(folder);
  const fs::path file = folder / "localhost.key";
  struct Case {
    const char* what;
    mode_t umask;
    mode_t mode;
    std::string bytes;
  };
  const Case cases[] = {
      {"new private file", 022, 0600, "key"},
      {"the umask takes nothing away", 077, 0644, std::string("\0\xFF\r\n", 4)},
      {"the umask adds nothing", 0, 0600, std::string(200000, 'c')},
      {"a shorter file over a longer one", 022, 0644, "x"},
      {"empty", 022, 0600, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const mode_t old_umask = ::umask(c.umask);
    std::string error = "untouched";
    const bool written = WriteFileAtomically(file, c.bytes, c.mode, &error);
    ::umask(old_umask);
    ASSERT_TRUE(written) << error;
    EXPECT_EQ(error, "untouched");
    EXPECT_EQ(ReadFileBytes(file), c.bytes);
    EXPECT_EQ(ModeOf(file), c.mode);
    EXPECT_EQ(Names(folder), std::vector<std::string>{"localhost.key"}) << "a temporary file left";
  }

  // A link at the name is replaced, never written through.
  const fs::path target = home.path() / "target";
  WriteFileBytes(target, "precious");
  fs::remove(file);
  fs::create_symlink(target, file);
  ASSERT_TRUE(WriteFileAtomically(file, "new", 0600));
  EXPECT_FALSE(fs::is_symlink(file));
  EXPECT_EQ(ReadFileBytes(file), "new");
  EXPECT_EQ(ReadFileBytes(target), "precious");
}

TEST(Files, WriteFileAtomicallyFailsWithTheReasonAndLeavesNothingBehind) {
  TempHome home;
  const fs::path folder = home.path() / "data";
  fs::create_directories(folder / "in the way" / "inside");
  WriteFileBytes(folder / "a file", "x");
  struct Case {
    const char* what;
    fs::path path;
    std::string reason_start;  // then, for a temporary name, 8 random bytes in hex
    std::string reason_end;
  };
  const Case cases[] = {
      {"no folder", folder / "missing" / "f",
       "cannot create " + (folder / "missing/f.tmp-").string(), ": No such file or directory"},
      {"a file for a folder", folder / "a file" / "f",
       "cannot create " + (folder / "a file/f.tmp-").string(), ": Not a directory"},
      {"a folder at the name", folder / "in the way",
       "cannot write " + (folder / "in the way").string(), ": Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string error;
    EXPECT_FALSE(WriteFileAtomically(c.path, "bytes", 0600, &error));
    ASSERT_GE(error.size(), c.reason_start.size() + c.reason_end.size());
    EXPECT_EQ(error.substr(0, c.reason_start.size()), c.reason_start) << error;
    EXPECT_TRUE(error.ends_with(c.reason_end)) << error;
    const std::string middle = error.substr(
        c.reason_start.size(), error.size() - c.reason_start.size() - c.reason_end.size());
    if (error.starts_with("cannot create")) {
      EXPECT_TRUE(middle.size() >= 8 && middle.size() <= 16 &&
                  middle.find_first_not_of("0123456789abcdef") == std::string::npos)
          << error;
    } else {
      EXPECT_EQ(middle, "") << error;
    }
    EXPECT_FALSE(WriteFileAtomically(c.path, "bytes", 0600)) << "without a reason asked for";
    EXPECT_EQ(Names(folder), (std::vector<std::string>{"a file", "in the way"}));
  }
  EXPECT_EQ(Names(folder / "in the way"), std::vector<std::string>{"inside"});
}

TEST(Files, ReadFileFromReadsFromTheOffsetToTheEnd) {
  TempHome home;
  const fs::path file = home.path() / "sign.tmp";
  WriteFileBytes(file, "0123456789");
  struct Case {
    uint64_t offset;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {0, "0123456789"}, {4, "456789"}, {10, ""}, {11, std::nullopt}, {UINT64_MAX, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    EXPECT_EQ(ReadFileFrom(file, c.offset), c.expected);
  }
  EXPECT_EQ(ReadFileFrom(home.path() / "missing", 0), std::nullopt);
  EXPECT_EQ(ReadFileFrom(home.path(), 0), std::nullopt);
}

class UserTempFolderTest : public ::testing::Test {
 protected:
  fs::path Expected() const {
    return (home_.path() / ("vemo-" + std::to_string(::geteuid()))).string() + "/";
  }
  TempHome home_;  // TMPDIR points into it
};

TEST_F(UserTempFolderTest, TakesThePrivateRuntimeFolder) {
  EXPECT_EQ(UserTempFolder(), fs::path(home_.RuntimeDir().string() + "/"));
  ScopedEnv slash("XDG_RUNTIME_DIR", home_.RuntimeDir().string() + "/");
  EXPECT_EQ(UserTempFolder(), fs::path(home_.RuntimeDir().string() + "/"));
}

TEST_F(UserTempFolderTest, OtherwiseMakesAFolderOfMode0700) {
  for (const std::optional<std::string>& runtime :
       {std::optional<std::string>(), std::optional<std::string>("relative/run")}) {
    ScopedEnv env("XDG_RUNTIME_DIR", runtime);
    const auto folder = UserTempFolder();
    ASSERT_TRUE(folder);
    EXPECT_EQ(*folder, Expected());
    EXPECT_EQ(ModeOf(*folder), 0700u);
    EXPECT_EQ(UserTempFolder(), folder);  // and takes it again
  }
  // A runtime folder that others may write to is passed over.
  ASSERT_EQ(::chmod(home_.RuntimeDir().c_str(), 0777), 0);
  EXPECT_EQ(UserTempFolder(), Expected());
}

TEST_F(UserTempFolderTest, RefusesAFolderThatIsNotPrivatelyOurs) {
  ScopedEnv env("XDG_RUNTIME_DIR", std::nullopt);
  const fs::path folder = home_.path() / ("vemo-" + std::to_string(::geteuid()));
  const fs::path elsewhere = home_.path() / "elsewhere";
  fs::create_directory(elsewhere);
  ASSERT_EQ(::chmod(elsewhere.c_str(), 0700), 0);

  fs::create_directory_symlink(elsewhere, folder);
  EXPECT_EQ(UserTempFolder(), std::nullopt) << "a link to a folder of ours";
  fs::remove(folder);

  fs::create_directory(folder);
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  EXPECT_EQ(UserTempFolder(), std::nullopt) << "mode 0755";

  ASSERT_EQ(::chmod(folder.c_str(), 0700), 0);
  const uid_t other = ::geteuid() == 0 ? NobodyUid() : 0;
  if (::chown(folder.c_str(), other, static_cast<gid_t>(-1)) == 0) {
    EXPECT_EQ(UserTempFolder(), std::nullopt) << "owned by someone else";
  }
  fs::remove(folder);

  WriteFileBytes(folder, "");
  EXPECT_EQ(UserTempFolder(), std::nullopt) << "a file";
}

TEST(DataFolder, FollowsTheConfigurationHome) {
  TempHome home;
  const std::string h = home.path().string();
  struct Case {
    std::optional<std::string> xdg;
    std::string expected;
  };
  const Case cases[] = {
      {"/srv/config", "/srv/config/Tramontel_Vemo_Server_Crypt"},
      {"/srv/config/", "/srv/config/Tramontel_Vemo_Server_Crypt"},
      {"relative", h + "/.config/Tramontel_Vemo_Server_Crypt"},
      {"", h + "/.config/Tramontel_Vemo_Server_Crypt"},
      {std::nullopt, h + "/.config/Tramontel_Vemo_Server_Crypt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xdg.value_or("(unset)"));
    ScopedEnv env("XDG_CONFIG_HOME", c.xdg);
    EXPECT_EQ(DataFolder(), fs::path(c.expected));
  }
  // Without HOME the password database names the home folder.
  ScopedEnv no_xdg("XDG_CONFIG_HOME", std::nullopt);
  ScopedEnv no_home("HOME", std::nullopt);
  const passwd* user = ::getpwuid(::getuid());
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(DataFolder(), fs::path(user->pw_dir) / ".config" / "Tramontel_Vemo_Server_Crypt");
}

TEST(DataFolder, MadePrivateWithoutFollowingLinks) {
  TempHome home;
  const fs::path folder = home.path() / "a" / "b" / "Tramontel_Vemo_Server_Crypt";

  // Missing: made, parents too, for the user alone; nothing had to be narrowed.
  EXPECT_EQ(MakeFolderPrivate(folder), std::vector<std::string>{});
  EXPECT_EQ(ModeOf(folder), 0700u);
  EXPECT_EQ(ModeOf(home.path() / "a"), 0700u);

  // Existing and open: narrowed, each file keeping its owner's bits.
  struct Entry {
    std::string name;
    mode_t before;
    mode_t after;
  };
  const std::vector<Entry> files = {
      {"Vemo_Server_Crypt.ini", 0644, 0600},
      {"Vemo_Server_Crypt_Z.log", 0666, 0600},
      {"localhost.key", 0600, 0600},
      {"read-only", 0444, 0400},
      {"script", 0755, 0700},
  };
  ASSERT_EQ(::chmod(folder.c_str(), 0775), 0);
  for (const Entry& entry : files) {
    WriteFileBytes(folder / entry.name, "x");
    ASSERT_EQ(::chmod((folder / entry.name).c_str(), entry.before), 0);
  }
  fs::create_directory(folder / "softtoken");
  ASSERT_EQ(::chmod((folder / "softtoken").c_str(), 0755), 0);
  const fs::path outside = home.path() / "outside";
  WriteFileBytes(outside, "x");
  ASSERT_EQ(::chmod(outside.c_str(), 0644), 0);
  fs::create_symlink(outside, folder / "link");

  EXPECT_EQ(
      MakeFolderPrivate(folder),
      (std::vector<std::string>{"Tramontel_Vemo_Server_Crypt 0775", "Vemo_Server_Crypt.ini 0644",
                                "Vemo_Server_Crypt_Z.log 0666", "read-only 0444", "script 0755"}));
  EXPECT_EQ(ModeOf(folder), 0700u);
  for (const Entry& entry : files)
    EXPECT_EQ(ModeOf(folder / entry.name), entry.after) << entry.name;
  EXPECT_EQ(ModeOf(folder / "softtoken"), 0755u) << "behind the folder; not a file of ours";
  EXPECT_EQ(ModeOf(outside), 0644u) << "a link is not followed";
  EXPECT_EQ(MakeFolderPrivate(folder), std::vector<std::string>{}) << "once is enough";

  // A folder that is a link is left as it is, and what it points at too.
  const fs::path elsewhere = home.path() / "elsewhere";
  fs::create_directory(elsewhere);
  ASSERT_EQ(::chmod(elsewhere.c_str(), 0755), 0);
  WriteFileBytes(elsewhere / "Vemo_Server_Crypt.ini", "x");
  ASSERT_EQ(::chmod((elsewhere / "Vemo_Server_Crypt.ini").c_str(), 0644), 0);
  const fs::path linked = home.path() / "linked";
  fs::create_directory_symlink(elsewhere, linked);
  EXPECT_EQ(MakeFolderPrivate(linked), std::vector<std::string>{});
  EXPECT_EQ(ModeOf(elsewhere), 0755u);
  EXPECT_EQ(ModeOf(elsewhere / "Vemo_Server_Crypt.ini"), 0644u);
}

}  // namespace
}  // namespace vemo::platform
