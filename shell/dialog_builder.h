#pragma once

#include <QFont>
#include <QRect>
#include <QWidget>

#include "shell/resources.h"

// Dialog templates made into Qt widgets. Dialog units are converted with the dialog font's
// own metrics, so a layout drawn for one font holds for the desktop's font at any DPI. UI thread.
namespace vemo::shell {

// The template's font. "MS Shell Dlg" at 8 points, the Windows dialog standard, becomes the
// desktop's UI font at the size the user chose for it; other sizes scale from there.
QFont DialogFont(const DialogTemplate& dialog_template);

// Pixels per dialog unit for one font.
class DialogUnits {
 public:
  // The horizontal base unit is the average width of the 52 Latin letters, the vertical one
  // the font's height; a dialog unit is a quarter of the one, an eighth of the other.
  explicit DialogUnits(const QFont& font);
  // The units a template is laid out in: as above, with the horizontal unit widened as far as
  // a text of the template needs to be seen in full. The templates were drawn for a font whose
  // Cyrillic letters are narrower, beside its Latin ones, than in the usual desktop fonts.
  static DialogUnits ForTemplate(const DialogTemplate& dialog_template, const QFont& font);

  int ToPixelsX(int x) const;
  int ToPixelsY(int y) const;
  // Both edges are converted, so that controls that touch in dialog units touch in pixels.
  QRect ToPixels(const Dlu& dlu) const;

  qreal base_x() const { return base_x_; }
  qreal base_y() const { return base_y_; }

 private:
  DialogUnits(qreal base_x, qreal base_y) : base_x_(base_x), base_y_(base_y) {}

  qreal base_x_;
  qreal base_y_;
};

int DialogUnitsToPixelsX(const QFont& font, int x);
int DialogUnitsToPixelsY(const QFont& font, int y);
QRect DialogUnitsToPixels(const QFont& font, const Dlu& dlu);

// Makes the template's controls inside `dialog`: title, font, fixed client size, window hints,
// and for each control its widget named "control_<id>" ("static_<n>" for the n-th control
// without an id), geometry, visibility, enabled state and tab order. A link opens its address
// through OpenUrl (web_sites.h). Sizes are in DialogUnits::ForTemplate. Call once, before the
// dialog is shown.
void BuildDialog(QWidget* dialog, const DialogTemplate& dialog_template);

// The control with that id, nullptr when the dialog has none.
QWidget* Control(QWidget* dialog, int id);
template <typename T>
T* ControlAs(QWidget* dialog, int id) {
  return qobject_cast<T*>(Control(dialog, id));
}

}  // namespace vemo::shell
