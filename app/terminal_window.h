#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/main_window_view.h"

namespace vemo {

// The main window until the desktop shell exists: window log lines, the tray state and
// message boxes go to standard output; the token password is answered on standard input with
// "ok <password>" or "cancel".
//
// Threading: UI-thread calls as MainWindowView says; RunTokenPasswordDialog blocks the request
// loop until the input thread calls AnswerDialog.
class TerminalWindow : public MainWindowView {
 public:
  explicit TerminalWindow(std::FILE* out = stdout) : out_(out) {}

  void AddLogLine(std::u16string_view text) override;
  void AddUntimedLine(std::u16string_view text) override;
  void ShowServiceButtons(bool running) override;
  void EnableStopButton() override {}
  void SetTrayIcon(bool running, std::u16string_view tip) override;
  void RemoveTrayIcon() override;
  void ShowMessageBox(std::u16string_view text) override;
  void AddProviderEntry(std::u16string_view name) override;
  std::optional<std::u16string> SelectedProviderEntry() override;
  void SelectProviderByPrefix(std::u16string_view text) override;
  std::optional<std::u16string> RunTokenPasswordDialog() override;

  // Input thread: true when a dialog was waiting for this line.
  bool AnswerDialog(const std::string& line);
  // Ends every open dialog with Cancel and every later one at once (program end).
  void CancelDialogs();
  // Selects the entry with exactly this text; false when the box has none.
  bool SelectEntry(std::u16string_view name);

 private:
  void Print(const std::string& line);

  std::FILE* out_;
  std::mutex mutex_;
  std::condition_variable dialog_cv_;
  bool dialog_open_ = false;
  bool closing_ = false;
  std::optional<std::optional<std::u16string>> dialog_answer_;
  std::vector<std::u16string> entries_;
  std::optional<size_t> selected_;
};

}  // namespace vemo
