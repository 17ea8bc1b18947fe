#include "shell/about_dialog.h"

#include <QPushButton>

#include "shell/dialog_builder.h"
#include "shell/resources.h"
#include "shell/web_sites.h"

namespace vemo::shell {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  BuildDialog(this, Dialog(kIdAboutDialog));
  auto* ok = ControlAs<QPushButton>(this, kIdOk);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  InstallHelpKey(this);
  // Enter closes the box rather than following the link, which would otherwise come first.
  ok->setFocus();
}

}  // namespace vemo::shell
