#include "shell/dialog_builder.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStringView>
#include <QStyle>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <vector>

#include "shell/icons.h"
#include "shell/web_sites.h"

namespace vemo::shell {
namespace {

// The point size that "MS Shell Dlg" templates are drawn for.
constexpr qreal kStandardDialogPoints = 8;

QString ToQString(std::u16string_view text) {
  return QStringView(text.data(), static_cast<qsizetype>(text.size())).toString();
}

// The text a control shows: mnemonic marks taken out, "&&" standing for "&".
QString ShownText(const ControlTemplate& control) {
  const QString text = ToQString(control.text);
  const bool marks = control.kind != ControlKind::kLink &&
                     !(control.kind == ControlKind::kLabel && control.no_prefix);
  if (!marks) return text;
  QString shown;
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] == QLatin1Char('&') && i + 1 < text.size()) ++i;
    shown += text[i];
  }
  return shown;
}

// What a control needs beside its text: a push button its frame and margins.
int TextPadding(ControlKind kind) {
  if (kind != ControlKind::kPushButton && kind != ControlKind::kDefPushButton) return 0;
  const QStyle* style = QApplication::style();
  return style->pixelMetric(QStyle::PM_ButtonMargin) +
         2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth);
}

bool ShowsText(ControlKind kind) {
  return kind == ControlKind::kPushButton || kind == ControlKind::kDefPushButton ||
         kind == ControlKind::kLabel || kind == ControlKind::kLink;
}

QWidget* MakeLabel(const ControlTemplate& control, QWidget* dialog) {
  auto* label = new QLabel(ToQString(control.text), dialog);
  label->setTextFormat(Qt::PlainText);
  return label;
}

QWidget* MakeLink(const ControlTemplate& control, QWidget* dialog) {
  auto* label = new QLabel(dialog);
  const QString target = QString::fromUtf8(control.link_target.data(),
                                           static_cast<qsizetype>(control.link_target.size()));
  label->setTextFormat(Qt::RichText);
  label->setText(QStringLiteral("<a href=\"%1\">%2</a>")
                     .arg(target.toHtmlEscaped(), ToQString(control.text).toHtmlEscaped()));
  label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  label->setToolTip(ToQString(control.tip));
  // The link opens its address itself and the dialog stays as it is.
  QObject::connect(label, &QLabel::linkActivated, label,
                   [](const QString& link) { OpenUrl(QUrl(link)); });
  return label;
}

QWidget* MakeIcon(const ControlTemplate& control, const QRect& area, QWidget* dialog) {
  auto* label = new QLabel(dialog);
  const int side = std::min(area.width(), area.height());
  label->setPixmap(
      ResourceIcon(control.icon).pixmap(QSize(side, side), dialog->devicePixelRatioF()));
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  return label;
}

QWidget* MakeComboBox(const ControlTemplate& control, QWidget* dialog) {
  auto* box = new QComboBox(dialog);
  box->setEditable(control.editable);
  // Text typed into an edit field is never added to the list.
  box->setInsertPolicy(QComboBox::NoInsert);
  return box;
}

QWidget* MakeEdit(const ControlTemplate& control, QWidget* dialog) {
  auto* edit = new QLineEdit(ToQString(control.text), dialog);
  if (control.password) edit->setEchoMode(QLineEdit::Password);
  edit->setReadOnly(control.read_only);
  return edit;
}

QWidget* MakeControl(const ControlTemplate& control, const QRect& area, QWidget* dialog) {
  switch (control.kind) {
    case ControlKind::kPushButton:
    case ControlKind::kDefPushButton: {
      auto* button = new QPushButton(ToQString(control.text), dialog);
      button->setDefault(control.kind == ControlKind::kDefPushButton);
      return button;
    }
    case ControlKind::kListBox:
      return new QListWidget(dialog);
    case ControlKind::kComboBox:
      return MakeComboBox(control, dialog);
    case ControlKind::kLabel:
      return MakeLabel(control, dialog);
    case ControlKind::kIcon:
      return MakeIcon(control, area, dialog);
    case ControlKind::kLink:
      return MakeLink(control, dialog);
    case ControlKind::kEdit:
      return MakeEdit(control, dialog);
    case ControlKind::kGroupBox:
      return new QGroupBox(ToQString(control.text), dialog);
  }
  return new QWidget(dialog);
}

QString ControlName(int id) { return QStringLiteral("control_%1").arg(id); }

// A label's mnemonic moves the focus to the next control that takes it, as the template's
// order puts a label before the field it names.
void SetLabelBuddies(const DialogTemplate& dialog_template, const std::vector<QWidget*>& widgets) {
  for (size_t i = 0; i < widgets.size(); ++i) {
    const ControlTemplate& control = dialog_template.controls[i];
    if (control.kind != ControlKind::kLabel || control.no_prefix ||
        control.text.find(u'&') == std::u16string_view::npos) {
      continue;
    }
    const auto next =
        std::find_if(widgets.begin() + static_cast<std::ptrdiff_t>(i) + 1, widgets.end(),
                     [](QWidget* w) { return w->focusPolicy() != Qt::NoFocus; });
    if (next != widgets.end()) static_cast<QLabel*>(widgets[i])->setBuddy(*next);
  }
}

// Without a button of the default style the dialog's Enter still means OK (button 1).
void SetImplicitDefault(const DialogTemplate& dialog_template, QWidget* dialog) {
  if (!qobject_cast<QDialog*>(dialog)) return;
  const auto& controls = dialog_template.controls;
  if (std::any_of(controls.begin(), controls.end(),
                  [](const auto& c) { return c.kind == ControlKind::kDefPushButton; })) {
    return;
  }
  if (auto* ok = ControlAs<QPushButton>(dialog, kIdOk)) ok->setDefault(true);
}

}  // namespace

QFont DialogFont(const DialogTemplate& dialog_template) {
  if (dialog_template.font_family != kShellDialogFont) {
    return QFont(ToQString(dialog_template.font_family), dialog_template.font_points);
  }
  QFont font = QApplication::font();
  const qreal scale = dialog_template.font_points / kStandardDialogPoints;
  if (font.pointSizeF() > 0) {
    font.setPointSizeF(font.pointSizeF() * scale);
  } else {
    font.setPixelSize(std::max(1, qRound(font.pixelSize() * scale)));
  }
  return font;
}

DialogUnits::DialogUnits(const QFont& font) {
  static const QString kLetters =
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  const QFontMetricsF metrics(font);
  base_x_ = metrics.horizontalAdvance(kLetters) / kLetters.size();
  base_y_ = metrics.height();
}

DialogUnits DialogUnits::ForTemplate(const DialogTemplate& dialog_template, const QFont& font) {
  const DialogUnits units(font);
  const QFontMetrics metrics(font);
  qreal base_x = units.base_x_;
  for (const ControlTemplate& control : dialog_template.controls) {
    if (!ShowsText(control.kind) || control.position.width <= 0) continue;
    // One pixel more, as both edges of the control are rounded.
    const int needed =
        metrics.horizontalAdvance(ShownText(control)) + TextPadding(control.kind) + 1;
    base_x = std::max(base_x, 4.0 * needed / control.position.width);
  }
  return DialogUnits(base_x, units.base_y_);
}

int DialogUnits::ToPixelsX(int x) const { return static_cast<int>(std::lround(x * base_x_ / 4)); }

int DialogUnits::ToPixelsY(int y) const { return static_cast<int>(std::lround(y * base_y_ / 8)); }

QRect DialogUnits::ToPixels(const Dlu& dlu) const {
  const int left = ToPixelsX(dlu.x);
  const int top = ToPixelsY(dlu.y);
  return QRect(left, top, ToPixelsX(dlu.x + dlu.width) - left, ToPixelsY(dlu.y + dlu.height) - top);
}

int DialogUnitsToPixelsX(const QFont& font, int x) { return DialogUnits(font).ToPixelsX(x); }

int DialogUnitsToPixelsY(const QFont& font, int y) { return DialogUnits(font).ToPixelsY(y); }

QRect DialogUnitsToPixels(const QFont& font, const Dlu& dlu) {
  return DialogUnits(font).ToPixels(dlu);
}

void BuildDialog(QWidget* dialog, const DialogTemplate& dialog_template) {
  const QFont font = DialogFont(dialog_template);
  dialog->setFont(font);
  dialog->setWindowTitle(ToQString(dialog_template.caption));

  Qt::WindowFlags flags = dialog->windowType() == Qt::Widget ? Qt::Window : dialog->windowType();
  flags |= Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  if (dialog_template.minimize_box) flags |= Qt::WindowMinimizeButtonHint;
  if (dialog_template.topmost) flags |= Qt::WindowStaysOnTopHint;
  dialog->setWindowFlags(flags);
  const DialogUnits units = DialogUnits::ForTemplate(dialog_template, font);
  dialog->setFixedSize(units.ToPixelsX(dialog_template.width),
                       units.ToPixelsY(dialog_template.height));

  std::vector<QWidget*> widgets;
  int unnamed = 0;
  for (const ControlTemplate& control : dialog_template.controls) {
    QRect area = units.ToPixels(control.position);
    QWidget* widget = MakeControl(control, area, dialog);
    widget->setObjectName(control.id == -1 ? QStringLiteral("static_%1").arg(unnamed++)
                                           : ControlName(control.id));
    // A combo box's height in the template includes its drop-down list; the closed box is as
    // high as the style draws it.
    if (control.kind == ControlKind::kComboBox) {
      area.setHeight(std::min(area.height(), widget->sizeHint().height()));
    }
    widget->setGeometry(area);
    if (!control.visible) widget->hide();
    widget->setEnabled(control.enabled);
    if (!widgets.empty()) QWidget::setTabOrder(widgets.back(), widget);
    widgets.push_back(widget);
  }
  SetLabelBuddies(dialog_template, widgets);
  SetImplicitDefault(dialog_template, dialog);
}

QWidget* Control(QWidget* dialog, int id) {
  return dialog->findChild<QWidget*>(ControlName(id), Qt::FindDirectChildrenOnly);
}

}  // namespace vemo::shell
