#pragma once

#include <QDialog>

namespace vemo::shell {

// The About box: the program, its purpose and version, and a link to the bank's public site.
// "ОК", Enter, Escape and the close button close it; F1 opens the public site. UI thread.
class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace vemo::shell
