#pragma once

#include <cstdio>
#include <string>

#include "providers/password_prompt.h"
#include "service/main_window_view.h"

namespace vemo {

// The main window until the desktop shell exists: window log lines, the tray state and
// message boxes go to standard output. UI thread, as MainWindowView says.
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
  void ShowProviderBox(const ProviderBox&) override {}

  void Print(const std::string& line);

 private:
  std::FILE* out_;
};

// The token password dialog of the terminal: a line that asks, answered on standard input
// with "ok <password>" or "cancel".
class TerminalPasswordPrompt : public PasswordPrompt {
 public:
  TerminalPasswordPrompt(UiPoster post_to_ui, TerminalWindow& window)
      : PasswordPrompt(std::move(post_to_ui)), window_(window) {}

 protected:
  void ShowDialog() override;
  void CloseDialog() override;

 private:
  TerminalWindow& window_;
};

}  // namespace vemo
