#pragma once

#include <QDialog>
#include <QPointer>

#include "providers/password_prompt.h"

class QLineEdit;

namespace vemo::shell {

// The token password dialog: the token list, the refresh button and the owner and organisation
// fields are there but unused; the password field takes at most 20 characters, hidden.
class CGetPassDlg : public QDialog {
  Q_OBJECT

 public:
  explicit CGetPassDlg(QWidget* parent = nullptr);
  // The typed password; the field is emptied.
  SecretWide TakePassword();

 public slots:
  void accept() override;

 private:
  QLineEdit* password_ = nullptr;
};

// The prompt as the desktop shows it: the request loop's question becomes a CGetPassDlg on the
// UI thread, on top of other windows and without an owner; its OK or Cancel is the answer.
class QtPasswordPrompt : public PasswordPrompt {
 public:
  QtPasswordPrompt();
  ~QtPasswordPrompt() override;

  // The open dialog, for tests and the UI; nullptr when none is open.
  CGetPassDlg* dialog() const { return dialog_; }

 protected:
  void ShowDialog() override;
  void CloseDialog() override;

 private:
  QPointer<CGetPassDlg> dialog_;
};

}  // namespace vemo::shell
