// Program start without the window: the data folder, the settings file and the start of the
// provider that it names.

#include "service/startup.h"

#include <unistd.h>

#include "tests/service/service_fixture.h"

namespace vemo::test {
namespace {

std::string WithoutCr(std::string text) {
  std::erase(text, '\r');
  return text;
}

class StartupTestBase : public ServiceTest {
 protected:
  StartupTestBase() {
    ResetEventLogForTesting();  // the window's initialisation starts the log itself
    std::filesystem::create_directories(home_.DataFolder());
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::create_directories(home_.path() / "cwd");
    std::filesystem::current_path(home_.path() / "cwd");
  }
  ~StartupTestBase() override { std::filesystem::current_path(old_cwd_); }

  std::filesystem::path Settings() const { return home_.DataFolder() / kSettingsFileName; }
  std::filesystem::path OldSettings() const { return home_.path() / "cwd" / kSettingsFileName; }

  std::filesystem::path old_cwd_;
};

class StartupTest : public StartupTestBase {};

TEST_F(StartupTest, ProviderNamedInTheSettings) {
  struct Case {
    std::string name;
    std::optional<std::string> file;  // nullopt: no file at all
    std::u16string active;            // the provider started, empty for none
  };
  const Case cases[] = {
      {"Авест", SettingsFileWith(u"Авест"), u"Авест"},
      {"Энигма2", SettingsFileWith(u"Энигма2"), u"Энигма2"},
      {"letter case differs", SettingsFileWith(u"авест"), u""},
      {"ten characters", SettingsFileWith(u"Энигма2345"), u""},
      {"no key", "[Vemo_Server_Crypt Settings]\r\nother=1\r\n", u"Авест"},
      {"LF line ends", WithoutCr(SettingsFileWith(u"Энигма2")), u"Энигма2"},
      {"no file", std::nullopt, u"Авест"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(Settings());
    if (c.file) WriteFileBytes(Settings(), *c.file);
    RecordingWindow window;
    ScriptedPrompt prompt;
    Providers providers(prompt);
    SigningService service(window, providers, Options());
    service.InitializeWindow();

    EXPECT_EQ(providers.active().Get(), c.active);
    EXPECT_EQ(service.ServerRunning(), !c.active.empty());
    const auto events = window.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0].kind, "untimed");
    EXPECT_EQ(events[0].text,
              "В настройках Вы можете изменить носитель по умолчанию при старте приложения");
    EXPECT_EQ(events[1].kind, "tray");
    EXPECT_EQ(events[1].text, "Vemo_Server_Crypt остановлен");
    EXPECT_EQ(window.Entries(), std::vector<std::u16string>{u"Авест"});
    EXPECT_EQ(service.ProviderList(), std::vector<std::u16string>{u"Авест"});
    if (c.active.empty()) {
      EXPECT_TRUE(window.Texts("log").empty());
      EXPECT_FALSE(window.StopButtonVisible());
    } else {
      EXPECT_EQ(window.Texts("log").front(), "Vemo_Server_Crypt запущен: " + U8(c.active));
      EXPECT_EQ(window.TrayTip(), "Vemo_Server_Crypt запущен: " + U8(c.active));
    }
    // The file exists afterwards; a missing one is created empty.
    EXPECT_EQ(ReadFileBytes(Settings()), c.file.value_or(""));
    EXPECT_EQ(service.DataFolder(), home_.DataFolder());
  }
}

TEST_F(StartupTest, TenCharacterValueIsReadAsItsFirstNine) {
  WriteFileBytes(Settings(), SettingsFileWith(u"Энигма2345"));
  EXPECT_EQ(LoadDefaultProvider(home_.DataFolder()), u"Энигма234");
}

TEST_F(StartupTest, OldSettingsFileInTheWorkingDirectoryIsMovedIn) {
  WriteFileBytes(OldSettings(), SettingsFileWith(u"Энигма2"));
  Providers providers(prompt_);
  SigningService service(window_, providers, Options());
  service.InitializeWindow();
  EXPECT_EQ(providers.active().Get(), u"Энигма2");
  EXPECT_FALSE(std::filesystem::exists(OldSettings()));
  EXPECT_EQ(ReadFileBytes(Settings()), SettingsFileWith(u"Энигма2"));
}

TEST_F(StartupTest, SettingsFileAlreadyThereIsKept) {
  WriteFileBytes(Settings(), SettingsFileWith(u"Энигма2"));
  WriteFileBytes(OldSettings(), SettingsFileWith(u"Авест"));
  EXPECT_EQ(LoadDefaultProvider(home_.DataFolder()), u"Энигма2");
  EXPECT_EQ(ReadFileBytes(OldSettings()), SettingsFileWith(u"Авест"));
  EXPECT_EQ(ReadFileBytes(Settings()), SettingsFileWith(u"Энигма2"));
}

TEST_F(StartupTest, ProviderBoxFollowsTheActiveProvider) {
  WriteFileBytes(Settings(), SettingsFileWith(u"Авест"));
  service_.InitializeWindow();
  EXPECT_EQ(window_.SelectedEntry(), u"Авест");
  EXPECT_EQ(service_.ProviderText(), u"Авест");
}

}  // namespace
}  // namespace vemo::test

namespace vemo::test {
namespace {

class SettingsTest : public StartupTestBase {};

// The settings dialog's outcome: saved into the file with a log line, kept out of the file
// after a cancel, and reported when the file cannot be written. The running provider stays.
TEST_F(SettingsTest, ShowSettingsSavesTheChoiceOrReportsTheFailure) {
  WriteFileBytes(Settings(), SettingsFileWith(u"Энигма2"));
  service_.InitializeWindow();
  ASSERT_EQ(providers_.active().Get(), u"Энигма2");

  window_.QueueSettingsAnswer(std::nullopt);
  service_.ShowSettings();
  EXPECT_EQ(window_.Texts("settings").back(), "Энигма2|Энигма2");
  EXPECT_EQ(ReadFileBytes(Settings()), SettingsFileWith(u"Энигма2")) << "cancel keeps the file";
  EXPECT_EQ(service_.DefaultProvider(), u"Энигма2");

  window_.QueueSettingsAnswer(u"Авест");
  service_.ShowSettings();
  EXPECT_EQ(ReadFileBytes(Settings()), SettingsFileWith(u"Авест"));
  EXPECT_EQ(service_.DefaultProvider(), u"Авест");
  EXPECT_EQ(window_.Texts("log").back(), "Настройки успешно изменены");
  EXPECT_EQ(providers_.active().Get(), u"Энигма2") << "takes effect at the next start";
  EXPECT_TRUE(service_.ServerRunning());

  // The file cannot be replaced: the choice stays in memory, the file keeps the old value.
  std::filesystem::remove(Settings());
  std::filesystem::create_directory(Settings());
  window_.QueueSettingsAnswer(u"Авест");
  service_.ShowSettings();
  EXPECT_EQ(window_.Texts("untimed").back(),
            "Не хватает прав для изменения настроек. Перезапустите от имени администратора");
  EXPECT_EQ(service_.DefaultProvider(), u"Авест");
}

}  // namespace
}  // namespace vemo::test
