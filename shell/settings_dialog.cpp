#include "shell/settings_dialog.h"

#include <QComboBox>
#include <QPushButton>
#include <QStringView>

#include "providers/active_provider.h"
#include "service/provider_box.h"
#include "service/startup.h"
#include "shell/dialog_builder.h"
#include "shell/resources.h"
#include "shell/web_sites.h"

namespace vemo::shell {
namespace {

QString ToQString(std::u16string_view text) {
  return QStringView(text.data(), static_cast<qsizetype>(text.size())).toString();
}

}  // namespace

CSettingsDlg::CSettingsDlg(std::u16string_view default_provider,
                           std::u16string_view active_provider, bool vista_or_later,
                           QWidget* parent)
    : QDialog(parent) {
  BuildDialog(this, Dialog(kIdSettingsDialog));
  InstallHelpKey(this);

  // The entries, their order and the prefix selection follow the main window's provider box.
  ProviderBox providers;
  providers.Add(kAvestName);
  providers.SelectByPrefix(default_provider);
  auto* box = ControlAs<QComboBox>(this, kIdDefaultProviderBox);
  for (const std::u16string& name : providers.entries()) box->addItem(ToQString(name));
  box->setCurrentIndex(providers.selected_index() ? static_cast<int>(*providers.selected_index())
                                                  : -1);

  // The Enigma2 password and driver buttons are only shown; they have no action here.
  const bool enigma2 = active_provider == kEnigma2Name;
  Control(this, kIdChangePassword)->setVisible(enigma2);
  Control(this, kIdInstallDriver)->setVisible(enigma2 && vista_or_later);
  Control(this, kIdRemoveDriver)->setVisible(enigma2 && vista_or_later);

  connect(ControlAs<QPushButton>(this, kIdOk), &QPushButton::clicked, this, &CSettingsDlg::Save);
  connect(ControlAs<QPushButton>(this, kIdCancel), &QPushButton::clicked, this, &QDialog::reject);
  // "Отмена" is the default button, so Enter in the box cancels rather than saves.
  box->setFocus();
}

void CSettingsDlg::Save() {
  const auto* box = ControlAs<QComboBox>(this, kIdDefaultProviderBox);
  if (box->currentIndex() < 0) return;
  chosen_ = box->currentText().left(kDefaultProviderBufferChars - 1).toStdU16String();
  accept();
}

}  // namespace vemo::shell
