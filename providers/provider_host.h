#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vemo {

// What StartServer made of a start.
enum class ServerStart {
  kStarted,
  kFailed,  // the error line is in the window log; the program goes on
  // Another copy serves the address: this copy told the user, removed its tray icon and asked
  // the UI loop to end; nothing more may happen on the way out.
  kProgramEnding,
};

// The main window's operations that the provider starts call. The service implements it.
// UI thread only.
class ProviderHost {
 public:
  virtual ~ProviderHost() = default;

  virtual ServerStart StartServer() = 0;
  virtual bool ServerRunning() const = 0;
  // running 1: the running picture with the tip "Vemo_Server_Crypt запущен: " and the active
  // provider; anything else: stopped.
  virtual void UpdateTrayIcon(int running) = 0;
  // The provider text that the window keeps: saving copies the provider box's text into it.
  virtual void SaveWindowData() = 0;
  virtual void SetProviderText(std::u16string text) = 0;
  // The provider box's selected entry; nullopt when none is selected.
  virtual std::optional<std::u16string> SelectedProviderEntry() const = 0;

  // The window as a provider start reports to it.
  virtual void AddLogLine(std::u16string_view text) = 0;
  virtual void AddUntimedLine(std::u16string_view text) = 0;
  virtual void ShowMessageBox(std::u16string_view text) = 0;
  virtual void EnableStopButton() = 0;
};

}  // namespace vemo
