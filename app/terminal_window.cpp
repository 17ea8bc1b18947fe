#include "app/terminal_window.h"

#include <algorithm>

#include "service/window_log.h"
#include "support/text_conversions.h"

namespace vemo {
void TerminalWindow::Print(const std::string& line) {
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

void TerminalWindow::AddLogLine(std::u16string_view text) {
  Print(WideToUtf8(TimestampedLine(text)));
}

void TerminalWindow::AddUntimedLine(std::u16string_view text) { Print(WideToUtf8(text)); }

void TerminalWindow::ShowServiceButtons(bool running) {
  Print(running ? "(кнопка: Остановить Сервер)" : "(кнопка: Запустить сервер)");
}

void TerminalWindow::SetTrayIcon(bool running, std::u16string_view tip) {
  Print(std::string(running ? "(значок: запущен) " : "(значок: остановлен) ") + WideToUtf8(tip));
}

void TerminalWindow::RemoveTrayIcon() { Print("(значок убран)"); }

void TerminalWindow::ShowMessageBox(std::u16string_view text) {
  Print("[Vemo_Server_Crypt] " + WideToUtf8(text));
}

void TerminalWindow::AddProviderEntry(std::u16string_view name) {
  std::lock_guard lock(mutex_);
  std::optional<std::u16string> selected;
  if (selected_) selected = entries_[*selected_];
  entries_.emplace_back(name);
  std::sort(entries_.begin(), entries_.end());
  if (selected)
    selected_ = std::find(entries_.begin(), entries_.end(), *selected) - entries_.begin();
}

std::optional<std::u16string> TerminalWindow::SelectedProviderEntry() {
  std::lock_guard lock(mutex_);
  if (!selected_) return std::nullopt;
  return entries_[*selected_];
}

void TerminalWindow::SelectProviderByPrefix(std::u16string_view text) {
  std::lock_guard lock(mutex_);
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const auto& entry) { return StartsWithIgnoringCase(entry, text); });
  if (it != entries_.end()) selected_ = it - entries_.begin();
}

bool TerminalWindow::SelectEntry(std::u16string_view name) {
  std::lock_guard lock(mutex_);
  auto it = std::find(entries_.begin(), entries_.end(), name);
  if (it == entries_.end()) return false;
  selected_ = it - entries_.begin();
  return true;
}

std::optional<std::u16string> TerminalWindow::RunTokenPasswordDialog() {
  std::unique_lock lock(mutex_);
  if (closing_) return std::nullopt;
  dialog_open_ = true;
  dialog_answer_.reset();
  Print(
      "Авторизация пользователя Enigma / Enigma2: введите пароль доступа к токену "
      "(ok <пароль> или cancel)");
  dialog_cv_.wait(lock, [this] { return dialog_answer_.has_value() || closing_; });
  dialog_open_ = false;
  if (!dialog_answer_) return std::nullopt;
  return *dialog_answer_;
}

bool TerminalWindow::AnswerDialog(const std::string& line) {
  std::lock_guard lock(mutex_);
  if (!dialog_open_ || dialog_answer_) return false;
  if (line == "ok" || line.starts_with("ok ")) {
    dialog_answer_ = Utf8ToWide(line.size() > 3 ? line.substr(3) : "");
  } else {
    dialog_answer_ = std::optional<std::u16string>();
  }
  dialog_cv_.notify_all();
  return true;
}

void TerminalWindow::CancelDialogs() {
  std::lock_guard lock(mutex_);
  closing_ = true;
  dialog_cv_.notify_all();
}

}  // namespace vemo
