#include "app/terminal_window.h"

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

void TerminalPasswordPrompt::ShowDialog() {
  window_.Print(
      "Авторизация пользователя Enigma / Enigma2: введите пароль доступа к токену "
      "(ok <пароль> или cancel)");
}

void TerminalPasswordPrompt::CloseDialog() { window_.Print("(окно пароля закрыто)"); }

}  // namespace vemo
