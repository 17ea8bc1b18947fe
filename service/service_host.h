#pragma once

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/http_server.h"
#include "providers/provider_host.h"
#include "providers/provider_start.h"
#include "service/main_window_view.h"
#include "service/provider_box.h"

namespace vemo {

inline constexpr std::string_view kListeningAddress = "https://localhost:9009/";

// The UI-free half of the main window: the service host (StartServer, the request loop,
// StopServer), the program exit and the window's own data (provider text, default provider,
// provider list). The Qt window and the terminal stand-in drive it; it acts on them through
// MainWindowView.
//
// Threading: every public operation runs on the UI thread; the request loop runs on a thread
// of its own.
class SigningService : public ProviderHost {
 public:
  struct Options {
    std::string url{kListeningAddress};
    // Where the server certificate is kept; empty: the data folder of the user.
    std::filesystem::path certificate_folder;
    platform::ServerLimits limits = DefaultLimits();
    // Asks the UI loop to end with the exit code and returns; the program then ends as its
    // loop returns, and the request loop and the keepers are stopped and joined on the way.
    std::function<void(int)> quit;
    // Registers the window for the session's lock and seat events; called once during the
    // window's initialisation, after the event log is ready and before any provider starts.
    std::function<void()> register_session_notifications;
  };

  // The signing request refuses bodies that are too large itself, with a reply the page can
  // show, so the server layer passes every declared size on to it.
  static platform::ServerLimits DefaultLimits() {
    platform::ServerLimits limits;
    limits.max_body_bytes = std::numeric_limits<uint64_t>::max();
    return limits;
  }

  SigningService(MainWindowView& view, Providers& providers, Options options);
  ~SigningService() override;  // ends the request loop
  SigningService(const SigningService&) = delete;
  SigningService& operator=(const SigningService&) = delete;

  // ProviderHost.
  ServerStart StartServer() override;
  bool ServerRunning() const override { return server_running_.load(); }
  void UpdateTrayIcon(int running) override;
  void SaveWindowData() override;
  void SetProviderText(std::u16string text) override { provider_text_ = std::move(text); }
  std::optional<std::u16string> SelectedProviderEntry() const override {
    return provider_box_.SelectedText();
  }
  void AddLogLine(std::u16string_view text) override { view_.AddLogLine(text); }
  void AddUntimedLine(std::u16string_view text) override { view_.AddUntimedLine(text); }
  void ShowMessageBox(std::u16string_view text) override { view_.ShowMessageBox(text); }
  void EnableStopButton() override { view_.EnableStopButton(); }

  // Ends an open password prompt as cancelled (its signing answers 52), lets the request
  // loop send that reply within the loop's stop wait, then ends the service.
  void StopServer();
  // The provider box's selection changed: a provider other than the active one stops the
  // service and starts the selected one.
  void HandleProviderChange();
  // The user chose the entry at this index in the provider box.
  void SelectProvider(size_t index);
  // Ends an open password prompt as cancelled, logs out of the Avest token when it serves,
  // removes the tray icon and asks the UI loop to end with exit code 0.
  void ExitApplication();
  // The settings dialog and the saving of its choice into the settings file. The choice takes
  // effect at the next start; the running provider stays.
  void ShowSettings();
  // A session notification. A lock (7) or console disconnect (2) of our own session stops the
  // service; an unlock (8) or console connect (1) starts the provider selected in the box again
  // when our session is the console's (a remote session never is). Other events do nothing.
  // Returns 0.
  uint32_t HandleSessionChange(uint32_t event, uint32_t session_id, uint32_t own_session,
                               uint32_t console_session);
  // True once the program was asked to end; nothing more is started.
  bool Ending() const { return ending_; }

  // The main window's initialisation without its widgets: the first log line, the stopped
  // tray icon, the data folder and event log, the default provider, the provider box, and the
  // start of the provider that the settings name.
  void InitializeWindow();

  // Loading the window's data: the provider box selects the entry that begins with the
  // provider text.
  void LoadWindowData();
  const std::u16string& ProviderText() const { return provider_text_; }
  const std::u16string& DefaultProvider() const { return default_provider_; }
  const std::vector<std::u16string>& ProviderList() const { return provider_list_; }
  const ProviderBox& provider_box() const { return provider_box_; }
  // The box as the program and the user left it, for a caller that sets it up directly; the
  // window shows such a change at the next ShowProviderBox.
  ProviderBox& provider_box() { return provider_box_; }
  const std::filesystem::path& DataFolder() const { return data_folder_; }
  Providers& providers() { return providers_; }

 private:
  struct Loop;
  static uint32_t RequestLoop(Loop& loop, Providers& providers);
  void EndLoop();
  void Quit(int code);

  MainWindowView& view_;
  Providers& providers_;
  Options options_;
  std::atomic<bool> server_running_{false};
  std::unique_ptr<Loop> loop_;
  std::vector<std::unique_ptr<Loop>> retired_loops_;
  std::u16string provider_text_;
  std::u16string default_provider_;
  std::vector<std::u16string> provider_list_;
  ProviderBox provider_box_;
  bool ending_ = false;
  std::filesystem::path data_folder_;
};

}  // namespace vemo
