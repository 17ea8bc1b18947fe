#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "service/provider_box.h"

namespace vemo {

// The main window as the service sees it: its log list, the service buttons, the tray icon,
// the provider box and message boxes. The Qt window and the tests' recording double implement
// it; the token password dialog has an interface of its own (providers/password_prompt.h).
//
// Threading: every call comes from the UI thread.
class MainWindowView {
 public:
  virtual ~MainWindowView() = default;

  // Appends a line to the window log; AddLogLine puts the local-time prefix in front.
  virtual void AddLogLine(std::u16string_view text) = 0;
  virtual void AddUntimedLine(std::u16string_view text) = 0;

  // running: the stop button (1002) visible and the start button (1003) hidden; else the
  // reverse.
  virtual void ShowServiceButtons(bool running) = 0;
  virtual void EnableStopButton() = 0;

  // The tray icon: removed and added again with the running or the stopped picture and tip.
  virtual void SetTrayIcon(bool running, std::u16string_view tip) = 0;
  virtual void RemoveTrayIcon() = 0;

  // A modal message box with the information icon and an OK button; returns when closed.
  virtual void ShowMessageBox(std::u16string_view text) = 0;

  // The provider box changed (an entry added, a selection made by the program): show it.
  virtual void ShowProviderBox(const ProviderBox& box) = 0;

  // The modal settings dialog, opened on DefaultProvider with the active provider's extra
  // buttons: the provider chosen with "Сохранить", nullopt after "Отмена", Escape or close.
  virtual std::optional<std::u16string> RunSettingsDialog(std::u16string_view default_provider,
                                                          std::u16string_view active_provider) = 0;
};

}  // namespace vemo
