// The settings dialog driven as the user drives it: its controls found by name, real keys and
// clicks on the offscreen platform.

#include "shell/settings_dialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>
#include <QTest>
#include <optional>
#include <string>

#include "shell/dialog_builder.h"
#include "shell/resources.h"
#include "tests/shell/gui_test_support.h"

namespace vemo::shell {
namespace {

using test::U8;

QComboBox* ProviderBoxOf(QWidget* dialog) {
  return ControlAs<QComboBox>(dialog, kIdDefaultProviderBox);
}

QPushButton* ButtonOf(QWidget* dialog, int id) { return ControlAs<QPushButton>(dialog, id); }

TEST(SettingsDialogTest, ProviderBoxSelectsByPrefixOfTheDefaultProvider) {
  struct Case {
    std::u16string_view default_provider;
    std::optional<std::string> selected;
  };
  for (const Case& c : {Case{u"Авест", "Авест"}, Case{u"авест", "Авест"},  // letter case is ignored
                        Case{u"Ав", "Авест"},                              // a beginning is enough
                        Case{u"", "Авест"},  // the empty text begins every entry
                        Case{u"Энигма", std::nullopt}, Case{u"Энигма2", std::nullopt},
                        Case{u"Авест1234", std::nullopt}}) {  // nine characters, longer than it
    SCOPED_TRACE(U8(QString::fromStdU16String(std::u16string(c.default_provider))));
    CSettingsDlg dialog(c.default_provider, u"Авест", true);
    QComboBox* box = ProviderBoxOf(&dialog);
    ASSERT_EQ(box->count(), 1);
    EXPECT_EQ(U8(box->itemText(0)), "Авест");
    if (c.selected) {
      EXPECT_EQ(box->currentIndex(), 0);
      EXPECT_EQ(U8(box->currentText()), *c.selected);
    } else {
      EXPECT_EQ(box->currentIndex(), -1);
    }
  }
}

TEST(SettingsDialogTest, Enigma2ButtonsShowOnlyForTheActiveEnigma2) {
  struct Case {
    std::u16string_view active_provider;
    bool vista_or_later;
    bool change_password, drivers;
  };
  for (const Case& c : {Case{u"Энигма2", true, true, true}, Case{u"Энигма2", false, true, false},
                        Case{u"энигма2", true, false, false},  // exact text only
                        Case{u"Энигма", true, false, false}, Case{u"Энигма2 ", true, false, false},
                        Case{u"Авест", true, false, false}, Case{u"", true, false, false}}) {
    SCOPED_TRACE(U8(QString::fromStdU16String(std::u16string(c.active_provider))) +
                 (c.vista_or_later ? " vista" : ""));
    CSettingsDlg dialog(u"Авест", c.active_provider, c.vista_or_later);
    dialog.show();
    EXPECT_EQ(Control(&dialog, kIdChangePassword)->isVisible(), c.change_password);
    EXPECT_EQ(Control(&dialog, kIdInstallDriver)->isVisible(), c.drivers);
    EXPECT_EQ(Control(&dialog, kIdRemoveDriver)->isVisible(), c.drivers);
    EXPECT_TRUE(ButtonOf(&dialog, kIdOk)->isVisible());
    EXPECT_TRUE(ButtonOf(&dialog, kIdCancel)->isVisible());
  }
}

TEST(SettingsDialogTest, Enigma2ButtonsDoNothing) {
  CSettingsDlg dialog(u"Авест", u"Энигма2", true);
  ASSERT_TRUE(test::ShowActive(&dialog));
  test::UrlRecorder urls;
  for (int id : {kIdChangePassword, kIdInstallDriver, kIdRemoveDriver}) {
    QTest::mouseClick(ButtonOf(&dialog, id), Qt::LeftButton);
    QCoreApplication::processEvents();
    EXPECT_TRUE(dialog.isVisible()) << id;
  }
  EXPECT_EQ(dialog.result(), 0);
  EXPECT_TRUE(urls.urls().empty());
}

TEST(SettingsDialogTest, SaveWithoutSelectionStaysOpenUntilAProviderIsChosen) {
  CSettingsDlg dialog(u"Энигма", u"Энигма", true);
  ASSERT_TRUE(test::ShowActive(&dialog));
  QTest::mouseClick(ButtonOf(&dialog, kIdOk), Qt::LeftButton);
  QCoreApplication::processEvents();
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), 0);
  EXPECT_TRUE(dialog.ChosenProvider().empty());

  // The user picks the entry with the keyboard, then saves.
  QTest::keyClick(ProviderBoxOf(&dialog), Qt::Key_Down);
  ASSERT_EQ(ProviderBoxOf(&dialog)->currentIndex(), 0);
  QTest::mouseClick(ButtonOf(&dialog, kIdOk), Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 5000));
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.ChosenProvider(), u"Авест");
}

TEST(SettingsDialogTest, SaveWithSelectionAccepts) {
  CSettingsDlg dialog(u"авест", u"Авест", true);
  ASSERT_TRUE(test::ShowActive(&dialog));
  QTest::mouseClick(ButtonOf(&dialog, kIdOk), Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 5000));
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.ChosenProvider(), u"Авест") << "the entry's text, not the setting's";
}

// "Отмена" is the default button: Enter cancels like Escape, the close button and "Отмена".
TEST(SettingsDialogTest, CancelEnterEscapeAndCloseReject) {
  enum class Way { kCancelButton, kEnter, kEscape, kClose };
  for (Way way : {Way::kCancelButton, Way::kEnter, Way::kEscape, Way::kClose}) {
    SCOPED_TRACE(static_cast<int>(way));
    CSettingsDlg dialog(u"Авест", u"Авест", true);
    ASSERT_TRUE(test::ShowActive(&dialog));
    ASSERT_EQ(QApplication::focusWidget(), ProviderBoxOf(&dialog));
    switch (way) {
      case Way::kCancelButton:
        QTest::mouseClick(ButtonOf(&dialog, kIdCancel), Qt::LeftButton);
        break;
      case Way::kEnter:
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        break;
      case Way::kEscape:
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        break;
      case Way::kClose:
        dialog.close();
        break;
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return !dialog.isVisible(); }, 5000));
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_TRUE(dialog.ChosenProvider().empty());
  }
}

}  // namespace
}  // namespace vemo::shell
