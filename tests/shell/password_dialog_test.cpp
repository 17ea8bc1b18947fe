// The token password dialog and the prompt that brings it from the request loop's thread to the
// UI thread, on the offscreen platform.

#include "shell/password_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <optional>
#include <thread>

#include "providers/token_password.h"
#include "shell/dialog_builder.h"
#include "shell/resources.h"
#include "tests/shell/event_wait.h"

namespace vemo::shell {
namespace {

using test::Eventually;

TEST(PasswordDialog, OnlyThePasswordFieldTakesInput) {
  CGetPassDlg dialog;
  EXPECT_EQ(dialog.windowTitle().toStdString(), "Авторизация пользователя Enigma / Enigma2");
  EXPECT_TRUE(dialog.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(dialog.parentWidget(), nullptr);
  for (int id : {kIdTokenList, kIdRefreshButton, kIdOwnerEdit, kIdOrganisationEdit}) {
    SCOPED_TRACE(id);
    ASSERT_NE(Control(&dialog, id), nullptr);
    EXPECT_FALSE(Control(&dialog, id)->isEnabled());
  }
  EXPECT_EQ(Control(&dialog, kIdOwnerEdit)->toolTip().toStdString(), "ФИО владельца личного ключа");
  EXPECT_EQ(Control(&dialog, kIdOrganisationEdit)->toolTip().toStdString(),
            "Наименование организации");
  for (int id : {kIdPasswordEdit, kIdTokenList, kIdRefreshButton, kIdOk, kIdCancel}) {
    EXPECT_TRUE(Control(&dialog, id)->toolTip().isEmpty()) << id;
  }
  auto* password = ControlAs<QLineEdit>(&dialog, kIdPasswordEdit);
  EXPECT_EQ(password->echoMode(), QLineEdit::Password);
  EXPECT_EQ(ControlAs<QPushButton>(&dialog, kIdOk)->text().toStdString(), "OK");
  EXPECT_EQ(ControlAs<QPushButton>(&dialog, kIdCancel)->text().toStdString(), "Cancel");
  EXPECT_TRUE(ControlAs<QPushButton>(&dialog, kIdOk)->isDefault());

  dialog.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
  dialog.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
  EXPECT_EQ(QApplication::focusWidget(), password) << "focused at start";
  QTest::keyClicks(password, QStringLiteral("123456789012345678901234"));
  EXPECT_EQ(password->text().toStdString(), "12345678901234567890") << "at most 20";
}

// The request loop asks; the dialog opens on the UI thread, which goes on handling events, and
// its OK, Cancel or close answers. OK with nothing typed counts as a cancel.
TEST(PasswordDialog, PromptFromAnotherThreadAnsweredByTheDialog) {
  struct Case {
    const char* name;
    QString typed;
    std::function<void(CGetPassDlg*)> finish;
    int32_t result;
    std::u16string password;
  };
  const Case cases[] = {
      {"Enter", QStringLiteral("пароль"),
       [](CGetPassDlg* d) { QTest::keyClick(d, Qt::Key_Return); }, 6, u"пароль"},
      {"OK", QStringLiteral("secret"),
       [](CGetPassDlg* d) { ControlAs<QPushButton>(d, kIdOk)->click(); }, 6, u"secret"},
      {"OK with nothing typed", QString(),
       [](CGetPassDlg* d) { ControlAs<QPushButton>(d, kIdOk)->click(); }, 0, u""},
      {"Escape", QStringLiteral("secret"),
       [](CGetPassDlg* d) { QTest::keyClick(d, Qt::Key_Escape); }, 0, u"before"},
      {"Cancel", QStringLiteral("secret"),
       [](CGetPassDlg* d) { ControlAs<QPushButton>(d, kIdCancel)->click(); }, 0, u"before"},
      {"close", QStringLiteral("secret"), [](CGetPassDlg* d) { d->close(); }, 0, u"before"},
  };
  QtPasswordPrompt prompt;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SecretWide password(std::u16string_view(u"before"));
    std::atomic<int32_t> result = -1;
    std::thread loop([&] { result = PromptTokenPassword(prompt, &password); });
    std::atomic<int> ticks = 0;
    QTimer ui_alive;
    QObject::connect(&ui_alive, &QTimer::timeout, [&] { ++ticks; });
    ui_alive.start(5);
    ASSERT_TRUE(Eventually([&] { return prompt.dialog() && prompt.dialog()->isVisible(); }));
    EXPECT_TRUE(Eventually([&] { return ticks > 3; })) << "the UI thread goes on";
    CGetPassDlg* dialog = prompt.dialog();
    // Typed as the input method would (QTest's key clicks know ASCII only).
    ControlAs<QLineEdit>(dialog, kIdPasswordEdit)->insert(c.typed);
    c.finish(dialog);
    ASSERT_TRUE(Eventually([&] { return result != -1; }));
    loop.join();
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(password.view(), c.password);
    EXPECT_TRUE(Eventually([&] { return prompt.dialog() == nullptr; })) << "the dialog is gone";
  }
}

// A stop or the program's end while the dialog is open: it closes as after Cancel.
TEST(PasswordDialog, RefusedWhileOpenClosesTheDialogAsCancelled) {
  QtPasswordPrompt prompt;
  std::optional<std::optional<SecretWide>> answer;
  std::thread loop([&] { answer = prompt.Ask(); });
  ASSERT_TRUE(Eventually([&] { return prompt.dialog() && prompt.dialog()->isVisible(); }));
  QTest::keyClicks(ControlAs<QLineEdit>(prompt.dialog(), kIdPasswordEdit), "typed");
  prompt.Refuse();
  loop.join();
  ASSERT_TRUE(answer.has_value());
  EXPECT_FALSE(answer->has_value());
  EXPECT_TRUE(Eventually([&] { return prompt.dialog() == nullptr; }));
  EXPECT_FALSE(prompt.Ask()) << "no new dialog until the service starts again";
}

}  // namespace
}  // namespace vemo::shell
