// The main window and the tray icon on the offscreen platform, over the real service on
// localhost:9009 with the scripted outside modules and files in a temporary HOME.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <memory>
#include <string>
#include <vector>

#include "providers/provider_start.h"
#include "service/service_host.h"
#include "service/startup.h"
#include "shell/dialog_builder.h"
#include "shell/main_dialog.h"
#include "shell/resources.h"
#include "shell/tray_icon.h"
#include "shell/web_sites.h"
#include "support/event_log.h"
#include "support/text_conversions.h"
#include "tests/fakes/fake_modules.h"
#include "tests/fakes/test_support.h"
#include "tests/shell/event_wait.h"

namespace vemo::test {
namespace {

using shell::CVemo_Crypt_ServerDlg;
// Answers the next modal dialog that opens with the given action, then records its title.
void AnswerNextModal(std::function<void(QWidget*)> action, QString* title = nullptr) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [timer, action, title] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      if (title) *title = modal->windowTitle();
      timer->stop();
      timer->deleteLater();
      action(modal);
    }
  });
  timer->start(10);
}

// The program's pieces as main() puts them together, started on a settings file.
class Program {
 public:
  explicit Program(const TempHome& home, std::optional<std::u16string> setting) {
    ResetEventLogForTesting();
    std::filesystem::create_directories(home.DataFolder());
    std::filesystem::remove(home.DataFolder() / kSettingsFileName);
    if (setting) WriteFileBytes(home.DataFolder() / kSettingsFileName, SettingsFileWith(*setting));
    SigningService::Options options;
    options.quit = [this](int code) { exit_codes.push_back(code); };
    service = std::make_unique<SigningService>(window, providers, std::move(options));
    window.Attach(*service);
    window.Initialize();
  }
  ~Program() {
    service.reset();
    ResetEventLogForTesting();
  }

  std::vector<std::string> LogLines() {
    auto* list = shell::ControlAs<QListWidget>(&window, shell::kIdLogList);
    std::vector<std::string> lines;
    for (int i = 0; i < list->count(); ++i) lines.push_back(list->item(i)->text().toStdString());
    return lines;
  }
  QPushButton* Button(int id) { return shell::ControlAs<QPushButton>(&window, id); }
  QComboBox* Box() { return shell::ControlAs<QComboBox>(&window, shell::kIdProviderBox); }
  std::vector<std::string> MenuTexts() {
    window.tray().FillMenu();
    std::vector<std::string> texts;
    for (QAction* action : window.tray().menu()->actions()) {
      texts.push_back(action->isSeparator() ? "-" : action->text().toStdString());
    }
    return texts;
  }
  void Choose(int command) {
    window.tray().FillMenu();
    auto* action =
        window.tray().menu()->findChild<QAction*>(QStringLiteral("command_%1").arg(command));
    ASSERT_NE(action, nullptr) << command;
    action->trigger();
  }

  ScriptedPrompt prompt;
  Providers providers{prompt};
  CVemo_Crypt_ServerDlg window;
  std::unique_ptr<SigningService> service;
  std::vector<int> exit_codes;
};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_opener_ = shell::SetUrlOpener(
        [this](const QUrl& url) { opened_.push_back(url.toString().toStdString()); });
  }
  void TearDown() override { shell::SetUrlOpener(previous_opener_); }

  TempHome home_;
  FakeModules fakes_{home_.path() / "fakes"};
  std::vector<std::string> opened_;
  shell::UrlOpener previous_opener_;
};

constexpr char kFirstLine[] =
    "В настройках Вы можете изменить носитель по умолчанию при старте приложения";

TEST_F(MainWindowTest, StartFollowsTheSetting) {
  struct Case {
    const char* name;
    std::optional<std::u16string> setting;
    bool serves;
    std::string second_line;  // after the time prefix; empty: no second line
    int selected;             // the provider box's index, -1 for none
  };
  const Case cases[] = {
      {"Авест", u"Авест", true, "Vemo_Server_Crypt запущен: Авест", 0},
      {"no setting", std::nullopt, true, "Vemo_Server_Crypt запущен: Авест", 0},
      {"Энигма without its observer", u"Энигма", false, "", -1},
      {"Энигма2", u"Энигма2", true, "Vemo_Server_Crypt запущен: Энигма2", -1},
      {"letter case differs", u"авест", false, "", 0},
      {"ten characters", u"Энигма2345", false, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Program program(home_, c.setting);
    const auto lines = program.LogLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], kFirstLine) << "untimed, and always first";
    if (c.second_line.empty()) {
      EXPECT_EQ(lines.size(), 1u);
    } else {
      ASSERT_GE(lines.size(), 2u);
      EXPECT_EQ(lines[1].substr(0, 1), "[");
      EXPECT_EQ(lines[1].substr(lines[1].find("]: ") + 3), c.second_line);
    }
    EXPECT_EQ(program.service->ServerRunning(), c.serves);
    EXPECT_EQ(program.Button(shell::kIdStopButton)->isVisibleTo(&program.window), c.serves);
    EXPECT_EQ(program.Button(shell::kIdStartButton)->isVisibleTo(&program.window), !c.serves);
    EXPECT_EQ(program.Box()->count(), 1);
    EXPECT_EQ(program.Box()->itemText(0).toStdString(), "Авест");
    EXPECT_EQ(program.Box()->currentIndex(), c.selected);
    EXPECT_EQ(program.window.tray().tip().toStdString(),
              c.serves ? c.second_line : "Vemo_Server_Crypt остановлен");
  }
}

TEST_F(MainWindowTest, TrayMenuFollowsWindowAndServiceAndRunsEachCommand) {
  Program program(home_, u"Авест");
  auto& window = program.window;
  window.HideMainWindow();
  struct Variant {
    bool visible, running;
    int menu;
    std::string item3, item4;
  };
  const Variant variants[] = {
      {false, true, 135, "Остановить сервер", "Развернуть"},
      {true, true, 136, "Остановить сервер", "Свернуть"},
      {false, false, 137, "Запустить сервер", "Развернуть"},
      {true, false, 138, "Запустить сервер", "Свернуть"},
  };
  for (const auto& v : variants) {
    SCOPED_TRACE(v.menu);
    if (v.running != program.service->ServerRunning()) {
      program.Choose(v.running ? shell::kCmdStartServer : shell::kCmdStopServer);
      ASSERT_TRUE(Eventually([&] { return program.service->ServerRunning() == v.running; }));
    }
    if (v.visible != window.isVisible()) {
      program.Choose(v.visible ? shell::kCmdShowWindow : shell::kCmdHideWindow);
      ASSERT_TRUE(Eventually([&] { return window.isVisible() == v.visible; }));
    }
    EXPECT_EQ(window.tray().CurrentMenuId(), v.menu);
    EXPECT_EQ(program.MenuTexts(), (std::vector<std::string>{
                                       "Вход в банкинг", "-", v.item3, v.item4, "-", "Настройки...",
                                       "-", "О программе...", "-", "Завершение работы"}));
  }
  EXPECT_EQ(window.tray().tip().toStdString(), "Vemo_Server_Crypt остановлен");

  program.Choose(shell::kCmdBankingSite);
  ASSERT_TRUE(Eventually([&] { return opened_.size() == 1; }));
  EXPECT_EQ(opened_[0], "https://ibank.tramontel.example/");

  QString title;
  AnswerNextModal([](QWidget* dialog) { QTest::keyClick(dialog, Qt::Key_Escape); }, &title);
  program.Choose(shell::kCmdAbout);
  ASSERT_TRUE(Eventually([&] { return !title.isEmpty(); }));
  EXPECT_EQ(title.toStdString(), "О программе Vemo_Server_Crypt");

  title.clear();
  AnswerNextModal([](QWidget* dialog) { QTest::keyClick(dialog, Qt::Key_Escape); }, &title);
  program.Choose(shell::kCmdSettings);
  ASSERT_TRUE(Eventually([&] { return !title.isEmpty(); }));
  EXPECT_EQ(title.toStdString(), "Настройки Vemo_Server_Crypt");

  program.Choose(shell::kCmdStartServer);
  ASSERT_TRUE(Eventually([&] { return program.service->ServerRunning(); }));
  EXPECT_EQ(window.tray().tip().toStdString(), "Vemo_Server_Crypt запущен: Авест");

  fakes_.ClearCalls();
  program.Choose(shell::kCmdExit);
  ASSERT_TRUE(Eventually([&] { return !program.exit_codes.empty(); }));
  EXPECT_EQ(program.exit_codes, std::vector<int>{0});
  EXPECT_FALSE(window.tray().present());
  EXPECT_EQ(fakes_.Calls(), std::vector<std::string>{"AvCmInit mode=2"})
      << "exit while Авест serves unloads the library";
}

TEST_F(MainWindowTest, KeysCloseAndDoubleClick) {
  Program program(home_, u"Авест");
  auto& window = program.window;
  window.ShowMainWindow();
  ASSERT_TRUE(window.isVisible());
  QApplication::setActiveWindow(&window);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));

  // Enter does nothing while no push button has the focus.
  shell::ControlAs<QListWidget>(&window, shell::kIdLogList)->setFocus();
  QTest::keyClick(&window, Qt::Key_Return);
  EXPECT_TRUE(window.isVisible());
  EXPECT_TRUE(program.service->ServerRunning());

  QTest::keyClick(&window, Qt::Key_F1);
  ASSERT_EQ(opened_.size(), 1u);
  EXPECT_EQ(opened_[0], "https://www.tramontel.example/");

  // "Просмотреть логи" opens the event log itself, not its rotated copy.
  program.Button(shell::kIdShowLogs)->click();
  ASSERT_EQ(opened_.size(), 2u);
  EXPECT_EQ(opened_[1],
            QUrl::fromLocalFile(
                QString::fromStdString((home_.DataFolder() / "Vemo_Server_Crypt_Z.log").string()))
                .toString()
                .toStdString());

  // The double click toggles; a single click does nothing.
  window.tray().Activate(QSystemTrayIcon::Trigger);
  EXPECT_TRUE(window.isVisible());
  window.tray().Activate(QSystemTrayIcon::DoubleClick);
  EXPECT_FALSE(window.isVisible());
  window.tray().Activate(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(window.isVisible());

  // Escape and close never end anything; the service goes on.
  QTest::keyClick(&window, Qt::Key_Escape);
  EXPECT_TRUE(program.service->ServerRunning());
  window.ShowMainWindow();
  window.close();
  EXPECT_TRUE(program.service->ServerRunning());
  EXPECT_TRUE(program.exit_codes.empty());
}

TEST_F(MainWindowTest, ProviderBoxChoiceAfterAStopRestartsTheService) {
  Program program(home_, u"Авест");
  auto* box = program.Box();
  // Choosing the provider that serves changes nothing.
  const size_t lines = program.LogLines().size();
  emit box->activated(0);
  EXPECT_EQ(program.LogLines().size(), lines);

  program.Button(shell::kIdStopButton)->click();
  EXPECT_FALSE(program.service->ServerRunning());
  EXPECT_EQ(program.LogLines().back().substr(program.LogLines().back().find("]: ") + 3),
            "Vemo_Server_Crypt остановлен");
  emit box->activated(0);
  EXPECT_TRUE(program.service->ServerRunning());
  EXPECT_EQ(program.LogLines().back().substr(program.LogLines().back().find("]: ") + 3),
            "Vemo_Server_Crypt запущен: Авест");
}

}  // namespace
}  // namespace vemo::test

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
