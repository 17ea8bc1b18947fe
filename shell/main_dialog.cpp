#include "shell/main_dialog.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QIcon>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QUrl>
#include <cstdio>

#include "service/service_host.h"
#include "service/window_log.h"
#include "shell/about_dialog.h"
#include "shell/dialog_builder.h"
#include "shell/icons.h"
#include "shell/resources.h"
#include "shell/settings_dialog.h"
#include "shell/tray_icon.h"
#include "shell/web_sites.h"
#include "support/event_log.h"

namespace vemo::shell {
namespace {

QString ToQString(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

bool HasTray() { return QSystemTrayIcon::isSystemTrayAvailable(); }

// Without a display the program still serves; a message box then goes to standard error and
// counts as answered with OK.
bool Headless() { return QGuiApplication::platformName() == QLatin1String("offscreen"); }

}  // namespace

CVemo_Crypt_ServerDlg::CVemo_Crypt_ServerDlg() {
  setObjectName(QStringLiteral("main_window"));
  BuildDialog(this, Dialog(kIdMainDialog));
  setWindowIcon(ResourceIcon(kIconApplication));
  setWindowFlag(Qt::WindowMinimizeButtonHint, true);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  log_list_ = ControlAs<QListWidget>(this, kIdLogList);
  start_button_ = ControlAs<QPushButton>(this, kIdStartButton);
  stop_button_ = ControlAs<QPushButton>(this, kIdStopButton);
  provider_box_ = ControlAs<QComboBox>(this, kIdProviderBox);
  auto* show_logs = ControlAs<QPushButton>(this, kIdShowLogs);

  // The log is read, not worked with: no selection, and it stays where the user scrolled it.
  log_list_->setSelectionMode(QAbstractItemView::NoSelection);
  log_list_->setAutoScroll(false);

  connect(start_button_, &QPushButton::clicked, this, [this] { RunCommand(kCmdStartServer); });
  connect(stop_button_, &QPushButton::clicked, this, [this] { RunCommand(kCmdStopServer); });
  connect(show_logs, &QPushButton::clicked, this, [this] { ShowEventLog(); });
  connect(provider_box_, &QComboBox::activated, this, [this](int index) {
    if (service_ && index >= 0) service_->SelectProvider(static_cast<size_t>(index));
  });

  // Qt has no system menu to extend: "О программе..." sits in the window's context menu.
  auto* about = new QAction(ToQString(String(kStrAboutItem)), this);
  about->setObjectName(QStringLiteral("about_action"));
  connect(about, &QAction::triggered, this, [this] { ShowAbout(); });
  setContextMenuPolicy(Qt::ActionsContextMenu);
  addAction(about);
  InstallHelpKey(this);

  tray_ = std::make_unique<TrayIcon>(TrayIcon::Hooks{
      .window_visible = [this] { return isVisible(); },
      .server_running = [this] { return service_ && service_->ServerRunning(); },
      .run_command = [this](int command) { RunCommand(command); },
      .double_click = [this] { ToggleMainWindow(); },
  });
}

CVemo_Crypt_ServerDlg::~CVemo_Crypt_ServerDlg() = default;

void CVemo_Crypt_ServerDlg::Attach(SigningService& service) { service_ = &service; }

void CVemo_Crypt_ServerDlg::Initialize() {
  service_->InitializeWindow();
  if (service_->Ending()) return;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
  // A user must never be left without a way in: with no tray the window stays on screen.
  if (!HasTray()) show();
}

void CVemo_Crypt_ServerDlg::AddLogLine(std::u16string_view text) {
  AddLine(ToQString(TimestampedLine(text)));
}

void CVemo_Crypt_ServerDlg::AddUntimedLine(std::u16string_view text) { AddLine(ToQString(text)); }

void CVemo_Crypt_ServerDlg::AddLine(const QString& line) {
  log_list_->addItem(line);
  // With no display nobody sees the window: its lines go to standard error as well.
  if (Headless()) std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
}

void CVemo_Crypt_ServerDlg::ShowServiceButtons(bool running) {
  stop_button_->setVisible(running);
  start_button_->setVisible(!running);
}

void CVemo_Crypt_ServerDlg::EnableStopButton() { stop_button_->setEnabled(true); }

void CVemo_Crypt_ServerDlg::SetTrayIcon(bool running, std::u16string_view tip) {
  tray_->Show(running, tip);
  setWindowIcon(ResourceIcon(running ? kIconApplication : kIconStopped));
}

void CVemo_Crypt_ServerDlg::RemoveTrayIcon() { tray_->Remove(); }

void CVemo_Crypt_ServerDlg::ShowMessageBox(std::u16string_view text) {
  if (Headless()) {
    std::fprintf(stderr, "Vemo_Server_Crypt: %s\n", ToQString(text).toLocal8Bit().constData());
    return;
  }
  QMessageBox box(QMessageBox::Information, QStringLiteral("Vemo_Server_Crypt"), ToQString(text),
                  QMessageBox::Ok, isVisible() ? this : nullptr);
  box.setObjectName(QStringLiteral("message_box"));
  box.exec();
}

void CVemo_Crypt_ServerDlg::ShowProviderBox(const ProviderBox& box) {
  const QSignalBlocker quiet(provider_box_);
  provider_box_->clear();
  for (const auto& entry : box.entries()) provider_box_->addItem(ToQString(entry));
  provider_box_->setCurrentIndex(box.selected_index() ? static_cast<int>(*box.selected_index())
                                                      : -1);
}

std::optional<std::u16string> CVemo_Crypt_ServerDlg::RunSettingsDialog(
    std::u16string_view default_provider, std::u16string_view active_provider) {
  CSettingsDlg dialog(default_provider, active_provider, /*vista_or_later=*/true,
                      isVisible() ? this : nullptr);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return dialog.ChosenProvider();
}

void CVemo_Crypt_ServerDlg::RunCommand(int command) {
  if (!service_) return;
  switch (command) {
    case kCmdStartServer:
      service_->providers().StartSelectedProvider(*service_);
      break;
    case kCmdStopServer:
      service_->StopServer();
      break;
    case kCmdExit:
      service_->ExitApplication();
      break;
    case kCmdSettings:
      service_->ShowSettings();
      break;
    case kCmdBankingSite:
      OpenBankingSite();
      break;
    case kCmdShowWindow:
      ShowMainWindow();
      break;
    case kCmdHideWindow:
      HideMainWindow();
      break;
    case kCmdAbout:
      ShowAbout();
      break;
    default:
      break;
  }
}

void CVemo_Crypt_ServerDlg::ShowMainWindow() {
  setWindowState(windowState() & ~Qt::WindowMinimized);
  show();
}

void CVemo_Crypt_ServerDlg::HideMainWindow() { hide(); }

void CVemo_Crypt_ServerDlg::ToggleMainWindow() {
  if (isVisible() && !isMinimized()) {
    HideMainWindow();
    return;
  }
  ShowMainWindow();
  raise();
  activateWindow();
}

void CVemo_Crypt_ServerDlg::ShowAbout() {
  CAboutDlg about(isVisible() ? this : nullptr);
  about.exec();
}

void CVemo_Crypt_ServerDlg::ShowEventLog() {
  // Not there before the first entry is written; the handler then reports it, we do not.
  OpenUrl(QUrl::fromLocalFile(QString::fromStdString(LogPath().string())));
}

void CVemo_Crypt_ServerDlg::HideOrMinimize() {
  if (HasTray()) {
    HideMainWindow();
  } else {
    showMinimized();
  }
}

void CVemo_Crypt_ServerDlg::closeEvent(QCloseEvent* event) {
  // Closing never ends the program; "Завершение работы" in the tray menu does.
  event->ignore();
  HideOrMinimize();
}

void CVemo_Crypt_ServerDlg::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized() && HasTray()) {
    // Minimising hides the window in the tray; it comes back restored.
    setWindowState(windowState() & ~Qt::WindowMinimized);
    hide();
  }
}

}  // namespace vemo::shell
