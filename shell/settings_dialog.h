#pragma once

#include <QDialog>
#include <string>
#include <string_view>

namespace vemo::shell {

// The settings dialog: the provider started with the program. It only chooses; the caller
// saves the choice. Always on top; F1 opens the bank's public site. UI thread.
class CSettingsDlg : public QDialog {
  Q_OBJECT

 public:
  // default_provider: the current setting, selected by prefix in the provider box;
  // active_provider: the provider in force, which decides the Enigma2 buttons.
  CSettingsDlg(std::u16string_view default_provider, std::u16string_view active_provider,
               bool vista_or_later, QWidget* parent = nullptr);

  // After exec() returned Accepted: the provider chosen (at most 9 characters).
  std::u16string ChosenProvider() const { return chosen_; }

 private:
  // "Сохранить": without a selection it does nothing and the dialog stays open.
  void Save();

  std::u16string chosen_;
};

}  // namespace vemo::shell
