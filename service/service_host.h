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
#include "support/main_window_view.h"

namespace vemo {

inline constexpr std::string_view kListeningAddress = "https://localhost:9009/";

// Thrown by the default exit of SigningService and caught in main(), so that the program ends
// by unwinding: the request loop and the keepers are stopped and joined before the process
// exits with the code.
struct ProgramExit {
  int code;
};

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
    // Ends the process; must not return. The default throws ProgramExit.
    std::function<void(int)> exit_process;
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
  MainWindowView& View() override { return view_; }
  void StartServer() override;
  bool ServerRunning() const override { return server_running_.load(); }
  void UpdateTrayIcon(int running) override;
  void SaveWindowData() override;
  void SetProviderText(std::u16string text) override { provider_text_ = std::move(text); }

  void StopServer();
  // The provider box's selection changed: a provider other than the active one stops the
  // service and starts the selected one.
  void HandleProviderChange();
  // Logs out of the Avest token when it serves, removes the tray icon and ends the process
  // with exit code 0.
  void ExitApplication();

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
  const std::filesystem::path& DataFolder() const { return data_folder_; }
  Providers& providers() { return providers_; }

 private:
  struct Loop;
  static uint32_t RequestLoop(platform::HttpServer& server, Providers& providers);
  void EndLoop();
  void ExitProcess(int code);

  MainWindowView& view_;
  Providers& providers_;
  Options options_;
  std::atomic<bool> server_running_{false};
  std::unique_ptr<Loop> loop_;
  std::vector<std::unique_ptr<Loop>> retired_loops_;
  std::u16string provider_text_;
  std::u16string default_provider_;
  std::vector<std::u16string> provider_list_;
  std::filesystem::path data_folder_;
};

}  // namespace vemo
