#include "shell/password_dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "shell/dialog_builder.h"
#include "shell/resources.h"

namespace vemo::shell {
namespace {

constexpr int kPasswordMaxChars = 20;
// How long the window manager may take to give the dialog the focus before we ask for the
// user's attention instead.
constexpr int kActivationGraceMs = 300;

}  // namespace

CGetPassDlg::CGetPassDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("password_dialog"));
  BuildDialog(this, Dialog(kIdPasswordDialog));
  setWindowFlag(Qt::WindowStaysOnTopHint, true);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  password_ = ControlAs<QLineEdit>(this, kIdPasswordEdit);
  password_->setEchoMode(QLineEdit::Password);
  password_->setMaxLength(kPasswordMaxChars);
  // The token list, its refresh and the owner's fields are there but unused.
  for (int id : {kIdRefreshButton, kIdTokenList, kIdOwnerEdit, kIdOrganisationEdit}) {
    if (QWidget* control = Control(this, id)) control->setEnabled(false);
  }
  if (QWidget* owner = Control(this, kIdOwnerEdit)) {
    owner->setToolTip(QStringLiteral("ФИО владельца личного ключа"));
  }
  if (QWidget* organisation = Control(this, kIdOrganisationEdit)) {
    organisation->setToolTip(QStringLiteral("Наименование организации"));
  }
  if (auto* ok = ControlAs<QPushButton>(this, kIdOk)) {
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  }
  if (auto* cancel = ControlAs<QPushButton>(this, kIdCancel)) {
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  }
  password_->setFocus();
}

void CGetPassDlg::accept() {
  // The field's own limit keeps longer texts out; one that got in anyway is refused here.
  if (password_->text().size() > kPasswordMaxChars) {
    QMessageBox::warning(this, windowTitle(),
                         QStringLiteral("Введите не более %1 знаков.").arg(kPasswordMaxChars));
    return;
  }
  QDialog::accept();
}

SecretWide CGetPassDlg::TakePassword() {
  QString typed = password_->text();
  SecretWide password(std::u16string_view(reinterpret_cast<const char16_t*>(typed.utf16()),
                                          static_cast<size_t>(typed.size())));
  typed.fill(QChar(u'\0'));
  password_->clear();
  return password;
}

QtPasswordPrompt::QtPasswordPrompt()
    : PasswordPrompt([](std::function<void()> task) {
        QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(task),
                                  Qt::QueuedConnection);
      }) {}

QtPasswordPrompt::~QtPasswordPrompt() { delete dialog_.data(); }

void QtPasswordPrompt::ShowDialog() {
  // No owner: the dialog stands on its own above every window, the browser's included.
  dialog_ = new CGetPassDlg();
  dialog_->setAttribute(Qt::WA_DeleteOnClose);
  QObject::connect(dialog_, &QDialog::finished, dialog_, [this, dialog = dialog_](int result) {
    if (result == QDialog::Accepted) {
      Answer(dialog->TakePassword());
    } else {
      Answer(std::nullopt);
    }
  });
  dialog_->show();
  dialog_->raise();
  // On X11 the window manager is asked to activate it; on Wayland Qt asks the compositor
  // through xdg-activation. Where the request is refused, the dialog demands attention.
  dialog_->activateWindow();
  QTimer::singleShot(kActivationGraceMs, dialog_, [dialog = dialog_] {
    if (dialog && !dialog->isActiveWindow()) QApplication::alert(dialog);
  });
}

void QtPasswordPrompt::CloseDialog() {
  if (dialog_) dialog_->reject();  // its answer comes too late and is dropped
}

}  // namespace vemo::shell
