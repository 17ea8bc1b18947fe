#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vemo {

// The main window as the UI-free code sees it: its log list, the service buttons, the tray
// icon, the provider box, message boxes and the token password dialog. The Qt window, the
// terminal stand-in and the tests' recording double implement it.
//
// Threading: every call comes from the thread that owns the window (the UI thread), except
// RunTokenPasswordDialog, which the request loop thread calls; an implementation hands the
// dialog to its UI thread and blocks the caller until the dialog is closed.
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

  // The provider box (sorted drop-down list).
  virtual void AddProviderEntry(std::u16string_view name) = 0;
  // The text of the selected entry, nullopt when none is selected.
  virtual std::optional<std::u16string> SelectedProviderEntry() = 0;
  // Selects the first entry that begins with the text, ignoring letter case; no match keeps
  // the selection as it is.
  virtual void SelectProviderByPrefix(std::u16string_view text) = 0;

  // The token password dialog: the typed password after OK, nullopt after Cancel or close.
  virtual std::optional<std::u16string> RunTokenPasswordDialog() = 0;
};

}  // namespace vemo
