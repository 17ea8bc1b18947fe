// Vemo_Server_Crypt: the local signing service for the bank's internet-banking page.
//
// Until the desktop shell exists the program runs with a terminal stand-in for its window:
// window log lines, the tray state and message boxes are printed, and the tray commands are
// read from standard input ("start", "stop", "select <provider>", "exit"). SIGINT, SIGTERM and
// SIGHUP end the program as "Завершение работы" does.

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "app/terminal_window.h"
#include "app/ui_loop.h"
#include "providers/provider_start.h"
#include "service/service_host.h"
#include "support/text_conversions.h"

namespace {

using vemo::SigningService;

// Reads commands until stop is set; lines that answer an open password dialog go there.
void ReadCommands(vemo::TerminalWindow& window, vemo::UiLoop& ui, SigningService& service,
                  const std::atomic<bool>& stop) {
  std::string pending;
  char chunk[512];
  while (!stop) {
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    if (::poll(&fd, 1, 200) <= 0) continue;
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n <= 0) return;  // no more input: the program goes on until it is told to end
    pending.append(chunk, static_cast<size_t>(n));
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (window.AnswerDialog(line)) continue;
      if (line == "start") {
        ui.Post([&] { service.providers().StartSelectedProvider(service); });
      } else if (line == "stop") {
        ui.Post([&] { service.StopServer(); });
      } else if (line == "exit") {
        ui.Post([&] { service.ExitApplication(); });
      } else if (line.starts_with("select ")) {
        const std::u16string name = vemo::Utf8ToWide(line.substr(7));
        ui.Post([&, name] {
          if (window.SelectEntry(name)) service.HandleProviderChange();
        });
      } else if (!line.empty()) {
        std::fprintf(stdout, "commands: start, stop, select <provider>, exit\n");
        std::fflush(stdout);
      }
    }
  }
}

void WaitForSignals(const sigset_t& signals, vemo::UiLoop& ui, SigningService& service,
                    const std::atomic<bool>& stop) {
  const timespec tick{0, 200'000'000};
  while (!stop) {
    if (::sigtimedwait(&signals, nullptr, &tick) > 0) {
      ui.Post([&] { service.ExitApplication(); });
    }
  }
}

}  // namespace

int main() {
  // Signals are taken by a thread of their own; every thread started below inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  vemo::TerminalWindow window;
  vemo::UiLoop ui;
  vemo::Providers providers(window);
  int exit_code = 0;
  {
    SigningService service(window, providers, {});
    std::atomic<bool> stop{false};
    std::thread signal_thread(WaitForSignals, std::cref(signals), std::ref(ui), std::ref(service),
                              std::cref(stop));
    std::thread input_thread(ReadCommands, std::ref(window), std::ref(ui), std::ref(service),
                             std::cref(stop));
    try {
      service.InitializeWindow();
      ui.Run();
    } catch (const vemo::ProgramExit& exit) {
      exit_code = exit.code;
    }
    stop = true;
    window.CancelDialogs();
    signal_thread.join();
    input_thread.join();
    // A request stuck in an outside module must not keep the program from ending.
    ::signal(SIGALRM, [](int) { ::_exit(0); });
    ::alarm(10);
  }  // the service ends its request loop here; the providers their keepers below
  return exit_code;
}
