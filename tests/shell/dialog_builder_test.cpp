// The resource tables as built into widgets: which controls each dialog has, where, in which
// tab order; dialog units against the font; the menus, strings and icons.

#include "shell/dialog_builder.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTextDocumentFragment>
#include <algorithm>
#include <memory>
#include <set>
#include <vector>

#include "shell/icons.h"
#include "shell/resources.h"
#include "tests/shell/gui_test_support.h"

namespace vemo::shell {
namespace {

using test::U8;

// What the dialog resources hold, written out from the window designs.
struct ExpectedControl {
  const char* name;
  const char* widget_class;
  const char* text;  // shown text, mnemonic marks included
  Dlu at;
};

struct ExpectedDialog {
  int id;
  const char* caption;
  int width, height;
  bool topmost, minimize_box;
  const char* default_button;             // object name, "" for none
  std::vector<ExpectedControl> controls;  // in tab order
};

const std::vector<ExpectedDialog>& ExpectedDialogs() {
  static const std::vector<ExpectedDialog> dialogs{
      {kIdAboutDialog,
       "О программе Vemo_Server_Crypt",
       221,
       74,
       false,
       false,
       "control_1",
       {{"static_0", "QLabel", "", {15, 23, 20, 20}},
        {"static_1", "QLabel", "Сервер для входа в интернет-банкинг", {46, 8, 168, 8}},
        {"static_2", "QLabel", "ОАО «Трамонтел» для юридических лиц", {46, 17, 168, 8}},
        {"static_3", "QLabel", "Vemo_Server_Crypt, версия 2.3.2", {46, 26, 114, 8}},
        {"control_1009", "QLabel", "ОАО «Трамонтел»", {45, 38, 73, 11}},
        {"static_4", "QLabel", "ул. Садовая, 12, г. Тихогорск", {46, 51, 124, 8}},
        {"static_5", "QLabel", "© 2024", {46, 60, 124, 8}},
        {"control_1", "QPushButton", "ОК", {174, 53, 40, 14}}}},
      {kIdMainDialog,
       "Vemo_Server_Crypt",
       347,
       182,
       false,
       true,
       "",
       {{"control_1008", "QListWidget", "", {7, 7, 333, 147}},
        {"control_1003", "QPushButton", "Запустить сервер", {7, 160, 103, 14}},
        {"control_1002", "QPushButton", "Остановить Сервер", {7, 160, 103, 14}},
        {"control_1031", "QComboBox", "", {117, 160, 118, 30}},
        {"control_1004", "QPushButton", "Просмотреть логи", {242, 160, 99, 14}}}},
      {kIdPasswordDialog,
       "Авторизация пользователя Enigma / Enigma2",
       215,
       118,
       true,
       false,
       "control_1",
       {{"control_1", "QPushButton", "OK", {137, 97, 69, 14}},
        {"control_2", "QPushButton", "Cancel", {7, 97, 69, 14}},
        {"control_1000", "QLineEdit", "", {7, 77, 199, 13}},
        {"static_0", "QLabel", "Введите пароль доступа к токену", {7, 67, 146, 8}},
        {"static_1", "QLabel", "Выберите токен", {7, 7, 56, 8}},
        {"control_1021", "QComboBox", "", {7, 16, 149, 30}},
        {"control_1001", "QLineEdit", "", {7, 35, 199, 13}},
        {"control_1002", "QLineEdit", "", {7, 52, 199, 13}},
        {"control_1022", "QPushButton", "Обновить", {163, 7, 44, 23}}}},
      {kIdSettingsDialog,
       "Настройки Vemo_Server_Crypt",
       245,
       100,
       true,
       false,
       "control_2",
       {{"control_1", "QPushButton", "Сохранить", {18, 79, 87, 14}},
        {"control_2", "QPushButton", "Отмена", {152, 79, 86, 14}},
        {"control_1010", "QComboBox", "", {152, 6, 86, 30}},
        {"static_0", "QLabel", "Используемый носитель по умолчанию", {18, 9, 132, 8}},
        {"control_1017", "QPushButton", "Изменить пароль для Энигма2", {18, 39, 116, 14}},
        {"control_1018", "QPushButton", "Установить драйвер", {151, 39, 87, 14}},
        {"control_1019", "QPushButton", "Удалить драйвер", {151, 54, 87, 14}}}},
  };
  return dialogs;
}

std::unique_ptr<QDialog> Build(const DialogTemplate& dialog_template) {
  auto dialog = std::make_unique<QDialog>();
  BuildDialog(dialog.get(), dialog_template);
  return dialog;
}

// The text a control shows: a link's anchor text without its markup.
QString ShownText(QWidget* widget) {
  if (auto* button = qobject_cast<QPushButton*>(widget)) return button->text();
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    return label->textFormat() == Qt::RichText
               ? QTextDocumentFragment::fromHtml(label->text()).toPlainText()
               : label->text();
  }
  return {};
}

std::vector<QWidget*> NamedControls(QWidget* dialog) {
  std::vector<QWidget*> controls;
  for (QWidget* child : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (child->objectName().startsWith(QStringLiteral("control_")) ||
        child->objectName().startsWith(QStringLiteral("static_"))) {
      controls.push_back(child);
    }
  }
  return controls;
}

TEST(DialogTablesTest, EachDialogHasTheControlsOfItsDesignWhereItSays) {
  for (const ExpectedDialog& expected : ExpectedDialogs()) {
    SCOPED_TRACE(expected.id);
    const auto dialog = Build(Dialog(expected.id));
    const QFont font = dialog->font();
    const DialogUnits units = DialogUnits::ForTemplate(Dialog(expected.id), font);
    EXPECT_EQ(U8(dialog->windowTitle()), expected.caption);
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize()) << "fixed size";
    EXPECT_EQ(dialog->width(), units.ToPixelsX(expected.width));
    EXPECT_EQ(dialog->height(), units.ToPixelsY(expected.height));
    EXPECT_EQ(dialog->windowFlags().testFlag(Qt::WindowStaysOnTopHint), expected.topmost);
    EXPECT_EQ(dialog->windowFlags().testFlag(Qt::WindowMinimizeButtonHint), expected.minimize_box);

    EXPECT_EQ(NamedControls(dialog.get()).size(), expected.controls.size());
    for (const ExpectedControl& control : expected.controls) {
      SCOPED_TRACE(control.name);
      QWidget* widget = dialog->findChild<QWidget*>(QString::fromLatin1(control.name));
      ASSERT_NE(widget, nullptr);
      EXPECT_STREQ(widget->metaObject()->className(), control.widget_class);
      EXPECT_EQ(U8(ShownText(widget)), control.text);
      EXPECT_FALSE(widget->isHidden());
      EXPECT_TRUE(widget->isEnabled());
      const QRect area = units.ToPixels(control.at);
      EXPECT_EQ(widget->pos(), area.topLeft());
      EXPECT_EQ(widget->width(), area.width());
      if (qobject_cast<QComboBox*>(widget)) {
        // The template's height includes the drop-down list.
        EXPECT_LE(widget->height(), area.height());
        EXPECT_GE(widget->height(), QFontMetrics(font).height());
      } else {
        EXPECT_EQ(widget->height(), area.height());
      }
      if (auto* button = qobject_cast<QPushButton*>(widget)) {
        EXPECT_EQ(button->isDefault(), std::string_view(control.name) == expected.default_button);
      }
    }
  }
}

TEST(DialogTablesTest, TabOrderFollowsTheTemplate) {
  for (const ExpectedDialog& expected : ExpectedDialogs()) {
    SCOPED_TRACE(expected.id);
    const auto dialog = Build(Dialog(expected.id));
    std::vector<std::string> order;
    QWidget* first = dialog->findChild<QWidget*>(QString::fromLatin1(expected.controls[0].name));
    QWidget* widget = first;
    do {
      if (widget->parentWidget() == dialog.get()) order.push_back(U8(widget->objectName()));
      widget = widget->nextInFocusChain();
    } while (widget != first && order.size() <= expected.controls.size());
    std::vector<std::string> expected_order;
    for (const ExpectedControl& control : expected.controls) expected_order.push_back(control.name);
    EXPECT_EQ(order, expected_order);
  }
}

TEST(DialogTablesTest, ControlsKeepTheirKindOfInput) {
  const auto password = Build(Dialog(kIdPasswordDialog));
  EXPECT_EQ(ControlAs<QLineEdit>(password.get(), kIdPasswordEdit)->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(ControlAs<QLineEdit>(password.get(), kIdOwnerEdit)->isReadOnly());
  EXPECT_TRUE(ControlAs<QLineEdit>(password.get(), kIdOrganisationEdit)->isReadOnly());
  EXPECT_FALSE(ControlAs<QLineEdit>(password.get(), kIdPasswordEdit)->isReadOnly());
  auto* tokens = ControlAs<QComboBox>(password.get(), kIdTokenList);
  EXPECT_TRUE(tokens->isEditable());
  EXPECT_EQ(tokens->insertPolicy(), QComboBox::NoInsert) << "typed text is not added";

  const auto settings = Build(Dialog(kIdSettingsDialog));
  EXPECT_FALSE(ControlAs<QComboBox>(settings.get(), kIdDefaultProviderBox)->isEditable());
  const auto main = Build(Dialog(kIdMainDialog));
  EXPECT_FALSE(ControlAs<QComboBox>(main.get(), kIdProviderBox)->isEditable());

  const auto about = Build(Dialog(kIdAboutDialog));
  auto* icon = about->findChild<QLabel*>(QStringLiteral("static_0"));
  ASSERT_NE(icon, nullptr);
  EXPECT_FALSE(icon->pixmap().isNull());
  EXPECT_LE(icon->pixmap().deviceIndependentSize().width(), icon->width());
}

TEST(DialogTablesTest, ControlLooksUpByIdWithinTheDialogOnly) {
  const auto dialog = Build(Dialog(kIdSettingsDialog));
  EXPECT_EQ(Control(dialog.get(), kIdOk), dialog->findChild<QWidget*>(QStringLiteral("control_1")));
  EXPECT_EQ(Control(dialog.get(), kIdLogList), nullptr);
  EXPECT_EQ(ControlAs<QComboBox>(dialog.get(), kIdOk), nullptr) << "wrong type";
  // A dialog inside the dialog keeps its controls to itself.
  QDialog inner(dialog.get());
  BuildDialog(&inner, Dialog(kIdMainDialog));
  EXPECT_EQ(Control(dialog.get(), kIdLogList), nullptr);
  EXPECT_NE(Control(&inner, kIdLogList), nullptr);
}

// Every text must be seen in full with the desktop's font, Cyrillic included.
TEST(DialogTablesTest, TextsFitTheirControls) {
  for (const ExpectedDialog& expected : ExpectedDialogs()) {
    SCOPED_TRACE(expected.id);
    const auto dialog = Build(Dialog(expected.id));
    const QFontMetrics metrics(dialog->font());
    EXPECT_LE(metrics.horizontalAdvance(dialog->windowTitle()), 2 * dialog->width());
    for (QWidget* widget : NamedControls(dialog.get())) {
      SCOPED_TRACE(U8(widget->objectName()));
      QString text = ShownText(widget);
      if (text.isEmpty()) continue;
      text.remove(QLatin1Char('&'));
      // Buttons need room for their frame and a little air around the text.
      const int margin = qobject_cast<QPushButton*>(widget) ? 8 : 0;
      EXPECT_LE(metrics.horizontalAdvance(text) + margin, widget->width()) << U8(text);
      EXPECT_LE(metrics.height(), widget->height());
    }
  }
}

// A window's layout grows with its font, so that nothing is clipped with large fonts.
TEST(DialogUnitsTest, LayoutScalesWithTheFont) {
  DialogTemplate large = Dialog(kIdSettingsDialog);
  large.font_points = 16;
  const auto small_dialog = Build(Dialog(kIdSettingsDialog));
  const auto large_dialog = Build(large);
  EXPECT_NEAR(large_dialog->font().pointSizeF(), 2 * small_dialog->font().pointSizeF(), 0.01);
  const auto ratio = [](int big, int small) { return static_cast<double>(big) / small; };
  EXPECT_NEAR(ratio(large_dialog->width(), small_dialog->width()), 2.0, 0.12);
  EXPECT_NEAR(ratio(large_dialog->height(), small_dialog->height()), 2.0, 0.12);
  for (int id : {kIdOk, kIdChangePassword, kIdRemoveDriver}) {
    SCOPED_TRACE(id);
    const QRect small_area = Control(small_dialog.get(), id)->geometry();
    const QRect large_area = Control(large_dialog.get(), id)->geometry();
    EXPECT_NEAR(ratio(large_area.x(), small_area.x()), 2.0, 0.12);
    EXPECT_NEAR(ratio(large_area.y(), small_area.y()), 2.0, 0.12);
    EXPECT_NEAR(ratio(large_area.width(), small_area.width()), 2.0, 0.12);
    EXPECT_NEAR(ratio(large_area.height(), small_area.height()), 2.0, 0.12);
  }
}

TEST(DialogUnitsTest, BaseUnitsAreTheAverageLetterWidthAndTheFontHeight) {
  for (const QFont& font :
       {QFont(QStringLiteral("DejaVu Sans"), 8), QFont(QStringLiteral("DejaVu Serif"), 13)}) {
    SCOPED_TRACE(U8(font.toString()));
    const QFontMetricsF metrics(font);
    const double letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    // Four horizontal units per average letter: 52 letters are 208 units.
    EXPECT_NEAR(DialogUnitsToPixelsX(font, 208), letters, 1.0);
    EXPECT_NEAR(DialogUnitsToPixelsY(font, 8), metrics.height(), 1.0);
    EXPECT_EQ(DialogUnitsToPixelsX(font, 0), 0);
    // Adjacent rectangles stay adjacent after rounding.
    const QRect left = DialogUnitsToPixels(font, {7, 3, 13, 5});
    const QRect right = DialogUnitsToPixels(font, {20, 8, 9, 11});
    EXPECT_EQ(left.right() + 1, right.left());
    EXPECT_EQ(left.bottom() + 1, right.top());
  }
}

// Where the Latin letters' average leaves a text too little room, the horizontal unit grows
// just enough for it, and the whole layout with it.
TEST(DialogUnitsTest, HorizontalUnitGrowsForATextThatWouldNotFit) {
  const QFont font(QStringLiteral("DejaVu Sans"), 9);
  const QFontMetrics metrics(font);
  const DialogUnits plain(font);
  constexpr std::u16string_view kText = u"Используемый носитель";
  const int text_width = metrics.horizontalAdvance(QString::fromUtf16(kText.data(), kText.size()));
  const int roomy = static_cast<int>(4 * text_width / plain.base_x()) + 20;
  const int tight = roomy - 30;

  for (ControlKind kind : {ControlKind::kLabel, ControlKind::kPushButton, ControlKind::kLink}) {
    SCOPED_TRACE(static_cast<int>(kind));
    for (int width : {roomy, tight}) {
      const std::array controls{ControlTemplate{-1, kind, kText, {10, 10, width, 14}}};
      DialogTemplate dialog_template = Dialog(kIdSettingsDialog);
      dialog_template.controls = controls;
      const DialogUnits units = DialogUnits::ForTemplate(dialog_template, font);
      EXPECT_DOUBLE_EQ(units.base_y(), plain.base_y());
      const int room = units.ToPixels(controls[0].position).width();
      if (width == roomy) {
        EXPECT_DOUBLE_EQ(units.base_x(), plain.base_x()) << "no need to grow";
      } else {
        EXPECT_GT(units.base_x(), plain.base_x());
      }
      EXPECT_GE(room, text_width + (kind == ControlKind::kPushButton ? 8 : 0));
      EXPECT_LE(room, std::max(text_width + 20, plain.ToPixelsX(width)))
          << "grown no further than needed";
    }
  }
}

class ApplicationFontTest : public testing::Test {
 protected:
  ~ApplicationFontTest() override { QApplication::setFont(saved_); }
  const QFont saved_ = QApplication::font();
};

// "MS Shell Dlg" 8 is the desktop's own UI font at the desktop's size.
TEST_F(ApplicationFontTest, ShellDialogFontIsTheDesktopFont) {
  QApplication::setFont(QFont(QStringLiteral("DejaVu Serif"), 11));
  const QFont standard = DialogFont(Dialog(kIdSettingsDialog));
  EXPECT_EQ(standard.family(), QStringLiteral("DejaVu Serif"));
  EXPECT_DOUBLE_EQ(standard.pointSizeF(), 11);

  DialogTemplate larger = Dialog(kIdSettingsDialog);
  larger.font_points = 12;
  EXPECT_DOUBLE_EQ(DialogFont(larger).pointSizeF(), 16.5);

  DialogTemplate named = Dialog(kIdSettingsDialog);
  named.font_family = u"DejaVu Sans Mono";
  named.font_points = 10;
  EXPECT_EQ(DialogFont(named).family(), QStringLiteral("DejaVu Sans Mono"));
  EXPECT_EQ(DialogFont(named).pointSize(), 10);

  QFont pixels(QStringLiteral("DejaVu Sans"));
  pixels.setPixelSize(14);
  QApplication::setFont(pixels);
  EXPECT_EQ(DialogFont(larger).pixelSize(), 21);
}

TEST(DialogBuilderTest, LabelMnemonicFocusesTheNextControlThatTakesFocus) {
  constexpr std::array kControls{
      ControlTemplate{-1, ControlKind::kLabel, u"&Пароль", {0, 0, 40, 8}},
      ControlTemplate{-1, ControlKind::kLabel, u"подсказка", {0, 10, 40, 8}},
      ControlTemplate{7, ControlKind::kEdit, {}, {0, 20, 40, 12}},
      ControlTemplate{.id = -1,
                      .kind = ControlKind::kLabel,
                      .text = u"A&B",
                      .position = {0, 40, 40, 8},
                      .no_prefix = true},
      ControlTemplate{8, ControlKind::kEdit, {}, {0, 50, 40, 12}},
  };
  DialogTemplate dialog_template = Dialog(kIdSettingsDialog);
  dialog_template.controls = kControls;
  const auto dialog = Build(dialog_template);
  EXPECT_EQ(dialog->findChild<QLabel*>(QStringLiteral("static_0"))->buddy(),
            Control(dialog.get(), 7));
  EXPECT_EQ(dialog->findChild<QLabel*>(QStringLiteral("static_1"))->buddy(), nullptr);
  auto* plain = dialog->findChild<QLabel*>(QStringLiteral("static_2"));
  EXPECT_EQ(plain->buddy(), nullptr);
  EXPECT_EQ(plain->text(), QStringLiteral("A&B"));
  // No button of the default style and no OK button: nothing is the default.
  for (auto* button : dialog->findChildren<QPushButton*>()) EXPECT_FALSE(button->isDefault());
}

TEST(MenuTableTest, TrayMenusDifferInTheServiceAndWindowItems) {
  struct Case {
    int menu;
    int service_command;
    const char* service_text;
    int window_command;
    const char* window_text;
  };
  for (const Case& c : {Case{135, 32801, "Остановить сервер", 32805, "Развернуть"},
                        Case{136, 32801, "Остановить сервер", 32806, "Свернуть"},
                        Case{137, 32800, "Запустить сервер", 32805, "Развернуть"},
                        Case{138, 32800, "Запустить сервер", 32806, "Свернуть"}}) {
    SCOPED_TRACE(c.menu);
    std::vector<std::pair<int, std::string>> items;
    for (const MenuItem& item : Menu(c.menu)) {
      items.emplace_back(
          item.command,
          U8(QStringView(item.text.data(), static_cast<qsizetype>(item.text.size())).toString()));
    }
    const std::vector<std::pair<int, std::string>> expected{{32804, "Вход в банкинг"},
                                                            {0, ""},
                                                            {c.service_command, c.service_text},
                                                            {c.window_command, c.window_text},
                                                            {0, ""},
                                                            {32803, "Настройки..."},
                                                            {0, ""},
                                                            {32807, "О программе..."},
                                                            {0, ""},
                                                            {32802, "Завершение работы"}};
    EXPECT_EQ(items, expected);
  }
  EXPECT_TRUE(Menu(134).empty());
  EXPECT_TRUE(Menu(139).empty());
  EXPECT_EQ(String(kStrAboutItem), u"&О программе...");
  EXPECT_TRUE(String(102).empty());
}

// Luminance of a pixel over a mid-grey panel, as a grey-scale tray would show it.
double GreyOnPanel(QRgb pixel) {
  const double alpha = qAlpha(pixel) / 255.0;
  return qGray(pixel) * alpha + 128 * (1 - alpha);
}

// The running and stopped icons must be told apart at tray size without colour.
TEST(IconTest, RunningAndStoppedDifferInGreyScaleAtSixteenPixels) {
  const QImage running = ResourceIcon(kIconApplication).pixmap(16, 16).toImage();
  const QImage stopped = ResourceIcon(kIconStopped).pixmap(16, 16).toImage();
  ASSERT_FALSE(running.isNull()) << "SVG icon engine missing?";
  ASSERT_FALSE(stopped.isNull());
  ASSERT_EQ(running.size(), QSize(16, 16));
  int different = 0;
  int drawn = 0;
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 16; ++x) {
      const QRgb a = running.pixel(x, y);
      const QRgb b = stopped.pixel(x, y);
      if (qAlpha(a) == 0 && qAlpha(b) == 0) continue;
      ++drawn;
      if (std::abs(GreyOnPanel(a) - GreyOnPanel(b)) > 60) ++different;
    }
  }
  EXPECT_GT(drawn, 100) << "both icons fill most of their square";
  EXPECT_GT(different, drawn / 3);
  EXPECT_TRUE(ResourceIcon(7).isNull());
}

}  // namespace
}  // namespace vemo::shell
