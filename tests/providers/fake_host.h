#pragma once

#include <optional>
#include <string>
#include <vector>

#include "providers/provider_host.h"
#include "support/text_conversions.h"
#include "tests/fakes/test_support.h"

namespace vemo::test {

// The main window's side of a provider start: records the calls in order and keeps the
// running flag. StartServer switches the process code page first, as the real one does.
class FakeHost : public ProviderHost {
 public:
  explicit FakeHost(RecordingWindow& window) : window_(window) {}

  ServerStart StartServer() override {
    SetProcessCodePage(NarrowCodePage::kCp1251);
    running_ = true;
    steps_.push_back("StartServer");
    return ServerStart::kStarted;
  }
  bool ServerRunning() const override { return running_; }
  void UpdateTrayIcon(int running) override {
    steps_.push_back("UpdateTrayIcon " + std::to_string(running));
  }
  void SaveWindowData() override { steps_.push_back("SaveWindowData"); }
  void SetProviderText(std::u16string text) override {
    steps_.push_back("SetProviderText " + U8(text));
  }

  std::optional<std::u16string> SelectedProviderEntry() const override { return selected_; }
  void AddLogLine(std::u16string_view text) override { window_.AddLogLine(text); }
  void AddUntimedLine(std::u16string_view text) override { window_.AddUntimedLine(text); }
  void ShowMessageBox(std::u16string_view text) override { window_.ShowMessageBox(text); }
  void EnableStopButton() override { window_.EnableStopButton(); }

  void set_running(bool running) { running_ = running; }
  // The provider box's selection as the user left it.
  void set_selected(std::optional<std::u16string> entry) { selected_ = std::move(entry); }
  const std::vector<std::string>& steps() const { return steps_; }

 private:
  RecordingWindow& window_;
  bool running_ = false;
  std::optional<std::u16string> selected_;
  std::vector<std::string> steps_;
};

// The steps that end every successful provider start.
inline const std::vector<std::string> kCompletedStart = {"StartServer", "UpdateTrayIcon 1",
                                                         "SaveWindowData"};

}  // namespace vemo::test
