#include "platform/files.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

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

}  // namespace
}  // namespace vemo::platform
