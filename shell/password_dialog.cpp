#include "shell/password_dialog.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>

#include "shell/dialog_builder.h"
#include "shell/resources.h"
#include "shell/web_sites.h"

namespace vemo::shell {
namespace {

constexpr int kPasswordMaxChars = 20;

}  // namespace

CGetPassDlg::CGetPassDlg(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("password_dialog"));
  BuildDialog(this, Dialog(kIdPasswordDialog));
  setWindowFlag(Qt::WindowStaysOnTopHint, true);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  password_ = ControlAs<QLineEdit>(this, kIdPasswordEdit);
  password_->setEchoMode(QLineEdit::Password);
  password_->setMaxLength(kPasswordMaxChars);
  if (auto* ok = ControlAs<QPushButton>(this, kIdOk)) {
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  }
  if (auto* cancel = ControlAs<QPushButton>(this, kIdCancel)) {
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  }
  password_->setFocus();
}

SecretWide CGetPassDlg::TakePassword() {
  const QString typed = password_->text();
  SecretWide password(std::u16string_view(reinterpret_cast<const char16_t*>(typed.utf16()),
                                          static_cast<size_t>(typed.size())));
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
  dialog_->activateWindow();
}

void QtPasswordPrompt::CloseDialog() {
  if (dialog_) dialog_->reject();  // its answer comes too late and is dropped
}

}  // namespace vemo::shell
