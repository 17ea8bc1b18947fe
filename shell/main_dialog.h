#pragma once

#include <QDialog>
#include <QPointer>
#include <memory>
#include <optional>
#include <string>

#include "service/main_window_view.h"

class QComboBox;
class QListWidget;
class QPushButton;

namespace vemo {
class SigningService;
}

namespace vemo::shell {

class TrayIcon;

// The main window: the log list, the start and stop buttons, the provider box and the button
// that opens the event log. It shows what the service tells it through MainWindowView and routes
// the user's commands (buttons, tray menu, provider box, keys) to the service.
//
// Without a tray (none on this desktop yet) the window is the user's way in: it is shown at
// start, minimise minimises it and closing it minimises it too. Once a tray is there, closing,
// minimising and Escape hide it in the tray.
//
// Threading: UI thread only.
class CVemo_Crypt_ServerDlg : public QDialog, public MainWindowView {
  Q_OBJECT

 public:
  CVemo_Crypt_ServerDlg();
  ~CVemo_Crypt_ServerDlg() override;

  // The service that the commands go to; set once, before Initialize.
  void Attach(SigningService& service);
  // The window's initialisation: the service brings the system up, then the window stays
  // hidden in the tray, or shows itself when there is no tray to hide in.
  void Initialize();

  // MainWindowView.
  void AddLogLine(std::u16string_view text) override;
  void AddUntimedLine(std::u16string_view text) override;
  void ShowServiceButtons(bool running) override;
  void EnableStopButton() override;
  void SetTrayIcon(bool running, std::u16string_view tip) override;
  void RemoveTrayIcon() override;
  void ShowMessageBox(std::u16string_view text) override;
  void ShowProviderBox(const ProviderBox& box) override;
  std::optional<std::u16string> RunSettingsDialog(std::u16string_view default_provider,
                                                  std::u16string_view active_provider) override;

  // The commands of the tray menu and the window (command ids in shell/resources.h).
  void RunCommand(int command);
  void ShowMainWindow();  // restored, without taking the foreground
  void HideMainWindow();
  // The tray icon's double click: hidden becomes visible in front, visible becomes hidden.
  void ToggleMainWindow();
  void ShowAbout();
  void ShowEventLog();

  TrayIcon& tray() { return *tray_; }

 public slots:
  void accept() override {}                     // Enter does nothing
  void reject() override { HideOrMinimize(); }  // Escape

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void HideOrMinimize();
  void AddLine(const QString& line);

  SigningService* service_ = nullptr;
  QListWidget* log_list_ = nullptr;
  QPushButton* start_button_ = nullptr;
  QPushButton* stop_button_ = nullptr;
  QComboBox* provider_box_ = nullptr;
  std::unique_ptr<TrayIcon> tray_;
};

}  // namespace vemo::shell
