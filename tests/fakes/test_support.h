#pragma once

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "providers/password_prompt.h"
#include "service/main_window_view.h"

namespace vemo::test {

// A fresh folder under the build's temporary area, removed with the object. Also points HOME,
// XDG_CONFIG_HOME and XDG_RUNTIME_DIR into it, so that nothing reaches the real profile.
class TempHome {
 public:
  TempHome();
  ~TempHome();
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path DataFolder() const;  // where the program keeps its files
  std::filesystem::path RuntimeDir() const;  // XDG_RUNTIME_DIR, mode 0700

 private:
  std::filesystem::path path_;
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_env_;
};

// Polls the condition until it holds or the time is up.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Reads a whole file as bytes ("" when missing).
std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

// The lines of the event log without the timestamp prefix "[dd.mm.yyyy hh:mm:ss]: ", split at
// CR LF, converted from code page 1251 to UTF-8.
std::vector<std::string> EventLogEntries(const std::filesystem::path& log_file);

// UTF-16 <-> UTF-8 for assertions.
std::string U8(std::u16string_view text);
std::u16string U16(std::string_view utf8);

// The bytes of a settings file that names the default provider, as the program writes it
// (code page 1251, CR LF).
std::string SettingsFileWith(std::u16string_view default_provider);

// True when something accepts TCP connections on 127.0.0.1 at the port.
bool PortAcceptsConnections(uint16_t port);

// A MainWindowView that records every call. Thread-safe.
class RecordingWindow : public MainWindowView {
 public:
  struct Event {
    std::string kind;  // "log", "untimed", "buttons", "enable_stop", "tray", "remove_tray",
                       // "message", "box"
    std::string text;  // UTF-8
    bool flag = false;
  };

  void AddLogLine(std::u16string_view text) override;
  void AddUntimedLine(std::u16string_view text) override;
  void ShowServiceButtons(bool running) override;
  void EnableStopButton() override;
  void SetTrayIcon(bool running, std::u16string_view tip) override;
  void RemoveTrayIcon() override;
  void ShowMessageBox(std::u16string_view text) override;
  void ShowProviderBox(const ProviderBox& box) override;
  // Answered from QueueSettingsAnswer; with none queued the dialog is cancelled. Records a
  // "settings" event with "<default>|<active>".
  std::optional<std::u16string> RunSettingsDialog(std::u16string_view default_provider,
                                                  std::u16string_view active_provider) override;
  void QueueSettingsAnswer(std::optional<std::u16string> answer);

  std::vector<Event> Events() const;
  std::vector<std::string> Texts(const std::string& kind) const;  // texts of one kind
  // The provider box as last shown.
  std::vector<std::u16string> Entries() const;
  std::optional<size_t> Selected() const;
  std::optional<std::u16string> SelectedEntry() const;
  bool StopButtonVisible() const;
  std::string TrayTip() const;
  bool TrayRunning() const;
  bool TrayPresent() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Event> events_;
  std::vector<std::u16string> entries_;
  std::deque<std::optional<std::u16string>> settings_answers_;
  std::optional<size_t> selected_;
  bool stop_visible_ = false;
  bool tray_present_ = false;
  bool tray_running_ = false;
  std::string tray_tip_;
};

// A password prompt whose dialog is answered from a script, on the asking thread. Thread-safe.
class ScriptedPrompt : public PasswordPrompt {
 public:
  ScriptedPrompt();

  // Next dialog answers in order; nullopt is Cancel. With none left the dialog is cancelled.
  void QueuePasswords(std::vector<std::optional<std::u16string>> answers);
  // From now on a dialog stays open until the UI side cancels it.
  void HoldDialogs();
  int DialogCount() const;
  int ClosedCount() const;  // dialogs closed without an answer

 protected:
  void ShowDialog() override;
  void CloseDialog() override;

 private:
  mutable std::mutex mutex_;
  std::deque<std::optional<std::u16string>> passwords_;
  bool hold_ = false;
  int dialogs_ = 0;
  int closed_ = 0;
};

}  // namespace vemo::test
