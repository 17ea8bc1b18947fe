#pragma once

#include <string>

#include "support/main_window_view.h"

namespace vemo {

// The main window's operations that the provider starts call. The service implements it on
// top of MainWindowView. UI thread only.
class ProviderHost {
 public:
  virtual ~ProviderHost() = default;
  virtual MainWindowView& View() = 0;
  virtual void StartServer() = 0;
  virtual bool ServerRunning() const = 0;
  // running 1: the running picture with the tip "Vemo_Server_Crypt запущен: " and the active
  // provider; anything else: stopped.
  virtual void UpdateTrayIcon(int running) = 0;
  // The provider text that the window keeps: saving copies the provider box's text into it.
  virtual void SaveWindowData() = 0;
  virtual void SetProviderText(std::u16string text) = 0;
};

}  // namespace vemo
