// The About box, and what both small dialogs share: F1 and their look.

#include "shell/about_dialog.h"

#include <gtest/gtest.h>

#include <QHelpEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <QToolTip>
#include <functional>
#include <memory>

#include "shell/dialog_builder.h"
#include "shell/icons.h"
#include "shell/resources.h"
#include "shell/settings_dialog.h"
#include "tests/shell/gui_test_support.h"

namespace vemo::shell {
namespace {

using test::U8;

QLabel* Link(QWidget* dialog) { return ControlAs<QLabel>(dialog, kIdSiteLink); }

TEST(AboutDialogTest, NamesTheProgramItsPurposeAndVersion) {
  CAboutDlg dialog;
  EXPECT_EQ(U8(dialog.windowTitle()), "О программе Vemo_Server_Crypt");
  const auto text = [&](const char* name) {
    return U8(dialog.findChild<QLabel*>(QString::fromLatin1(name))->text());
  };
  EXPECT_EQ(text("static_1"), "Сервер для входа в интернет-банкинг");
  EXPECT_EQ(text("static_2"), "ОАО «Трамонтел» для юридических лиц");
  EXPECT_EQ(text("static_3"), "Vemo_Server_Crypt, версия 2.3.2");
  EXPECT_FALSE(dialog.findChild<QLabel*>(QStringLiteral("static_0"))->pixmap().isNull());
  // "ОК" in Cyrillic letters, the default button.
  auto* ok = ControlAs<QPushButton>(&dialog, kIdOk);
  EXPECT_EQ(ok->text(), QString::fromUtf16(u"\u041E\u041A"));
  EXPECT_TRUE(ok->isDefault());
}

TEST(AboutDialogTest, LinkShowsItsTipOnHover) {
  CAboutDlg dialog;
  ASSERT_TRUE(test::ShowActive(&dialog));
  QLabel* link = Link(&dialog);
  EXPECT_EQ(U8(link->toolTip()), "Перейти на сайт www.tramontel.example");
  const QPoint at = link->rect().center();
  QHelpEvent hover(QEvent::ToolTip, at, link->mapToGlobal(at));
  QCoreApplication::sendEvent(link, &hover);
  EXPECT_TRUE(QTest::qWaitFor([] { return QToolTip::isVisible(); }, 5000));
  EXPECT_EQ(U8(QToolTip::text()), "Перейти на сайт www.tramontel.example");
  QToolTip::hideText();
}

TEST(AboutDialogTest, LinkClickOpensThePublicSiteAndTheBoxStays) {
  CAboutDlg dialog;
  ASSERT_TRUE(test::ShowActive(&dialog));
  test::UrlRecorder urls;
  QLabel* link = Link(&dialog);
  // On the anchor's first letters, where the text starts.
  QTest::mouseClick(link, Qt::LeftButton, {}, QPoint(4, link->height() / 2));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !urls.urls().empty(); }, 5000));
  EXPECT_EQ(urls.urls(), std::vector<QString>{QString::fromLatin1(kPublicSiteUrl)});
  EXPECT_TRUE(dialog.isVisible());
}

TEST(AboutDialogTest, OkEnterEscapeAndCloseCloseIt) {
  enum class Way { kOkButton, kEnter, kEscape, kClose };
  for (Way way : {Way::kOkButton, Way::kEnter, Way::kEscape, Way::kClose}) {
    SCOPED_TRACE(static_cast<int>(way));
    test::UrlRecorder urls;
    CAboutDlg dialog;
    ASSERT_TRUE(test::ShowActive(&dialog));
    ASSERT_EQ(QApplication::focusWidget(), ControlAs<QPushButton>(&dialog, kIdOk));
    switch (way) {
      case Way::kOkButton:
        QTest::mouseClick(ControlAs<QPushButton>(&dialog, kIdOk), Qt::LeftButton);
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
    EXPECT_TRUE(urls.urls().empty());
  }
}

// F1 alone, in either dialog, opens the public site; with a modifier it is another key.
TEST(HelpKeyTest, F1InTheDialogsOpensThePublicSite) {
  const std::vector<std::pair<const char*, std::function<std::unique_ptr<QDialog>()>>> dialogs{
      {"about", [] { return std::make_unique<CAboutDlg>(); }},
      {"settings", [] { return std::make_unique<CSettingsDlg>(u"Авест", u"Энигма2", true); }},
  };
  for (const auto& [name, make] : dialogs) {
    SCOPED_TRACE(name);
    const auto dialog = make();
    ASSERT_TRUE(test::ShowActive(dialog.get()));
    ASSERT_NE(QApplication::focusWidget(), nullptr);
    test::UrlRecorder urls;
    for (Qt::KeyboardModifier modifier :
         {Qt::ShiftModifier, Qt::ControlModifier, Qt::AltModifier}) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1, modifier);
    }
    QCoreApplication::processEvents();
    EXPECT_TRUE(urls.urls().empty());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !urls.urls().empty(); }, 5000));
    EXPECT_EQ(urls.urls(), std::vector<QString>{QString::fromLatin1(kPublicSiteUrl)});
    EXPECT_TRUE(dialog->isVisible());
  }
}

// Pictures of the dialogs as the user sees them, kept as test artifacts for a look by eye.
TEST(ScreenshotTest, DialogsAsShown) {
  CAboutDlg about;
  ASSERT_TRUE(test::ShowActive(&about));
  EXPECT_TRUE(test::SaveScreenshot(&about, QStringLiteral("about")));
  CSettingsDlg settings(u"Авест", u"Энигма2", true);
  ASSERT_TRUE(test::ShowActive(&settings));
  EXPECT_TRUE(test::SaveScreenshot(&settings, QStringLiteral("settings")));
  for (int id : {kIdMainDialog, kIdPasswordDialog}) {
    QDialog bare;
    BuildDialog(&bare, Dialog(id));
    ASSERT_TRUE(test::ShowActive(&bare));
    EXPECT_TRUE(test::SaveScreenshot(&bare, QStringLiteral("template_%1").arg(id)));
  }
  // The tray icons at 16 and 32 pixels on a light and a dark panel, in colour and in grey.
  QLabel icons;
  QPixmap sheet(4 * 40, 2 * 40);
  sheet.fill(Qt::white);
  {
    QPainter painter(&sheet);
    painter.fillRect(0, 40, sheet.width(), 40, QColor(0x30, 0x30, 0x30));
    for (int row = 0; row < 2; ++row) {
      int x = 4;
      for (int id : {kIconApplication, kIconStopped}) {
        for (int side : {16, 32}) {
          painter.drawPixmap(x, row * 40 + 4, ResourceIcon(id).pixmap(side, side));
          x += 40;
        }
      }
    }
  }
  const QImage grey = sheet.toImage().convertToFormat(QImage::Format_Grayscale8);
  QPixmap both(sheet.width(), 2 * sheet.height());
  {
    QPainter painter(&both);
    painter.drawPixmap(0, 0, sheet);
    painter.drawImage(0, sheet.height(), grey);
  }
  icons.setPixmap(both);
  icons.resize(both.size());
  EXPECT_TRUE(test::SaveScreenshot(&icons, QStringLiteral("icons")));
}

}  // namespace
}  // namespace vemo::shell
