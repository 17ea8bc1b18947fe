// Vemo_Server_Crypt: the local signing service for the bank's internet-banking page.
//
// Until the desktop shell exists the program runs with a terminal stand-in for its window:
// window log lines, the tray state and message boxes are printed, and the tray commands are
// read from standard input ("start", "stop", "select <provider>", "exit"). SIGINT, SIGTERM and
// SIGHUP end the program as "Завершение работы" does.

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>

#include "app/terminal_window.h"
#include "app/ui_loop.h"
#include "providers/provider_start.h"
#include "service/service_host.h"
#include "support/text_conversions.h"
#include "support/unique_fd.h"

namespace {

using vemo::SigningService;

struct Commands {
  vemo::TerminalWindow& window;
  vemo::TerminalPasswordPrompt& prompt;
  vemo::UiLoop& ui;
  SigningService& service;

  void Run(const std::string& line) {
    if (prompt.IsOpen() && (line == "ok" || line.starts_with("ok ") || line == "cancel")) {
      std::optional<vemo::SecretWide> answer;
      if (line != "cancel") answer.emplace(vemo::Utf8ToWide(line.size() > 3 ? line.substr(3) : ""));
      ui.Post([this, answer = std::make_shared<decltype(answer)>(std::move(answer))] {
        prompt.Answer(std::move(*answer));
      });
    } else if (line == "start") {
      ui.Post([this] { service.providers().StartSelectedProvider(service); });
    } else if (line == "stop") {
      ui.Post([this] { service.StopServer(); });
    } else if (line == "exit") {
      ui.Post([this] { service.ExitApplication(); });
    } else if (line.starts_with("select ")) {
      ui.Post([this, name = vemo::Utf8ToWide(line.substr(7))] {
        const auto& entries = service.provider_box().entries();
        const auto it = std::find(entries.begin(), entries.end(), name);
        if (it != entries.end()) service.SelectProvider(static_cast<size_t>(it - entries.begin()));
      });
    } else if (!line.empty()) {
      window.Print("commands: start, stop, select <provider>, exit");
    }
  }
};

// One thread sleeps in poll until a command line, a signal or the program's end arrives.
void ReadInput(Commands& commands, int signal_fd, int stop_fd) {
  std::string pending;
  bool input_open = true;
  for (;;) {
    pollfd fds[3] = {{signal_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    if (::poll(fds, input_open ? 3 : 2, -1) < 0) continue;
    if (fds[1].revents) return;
    if (fds[0].revents) {
      signalfd_siginfo info;
      if (::read(signal_fd, &info, sizeof info) == sizeof info) {
        commands.ui.Post([&commands] { commands.service.ExitApplication(); });
      }
    }
    if (input_open && fds[2].revents) {
      char chunk[512];
      const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
      if (n <= 0) {
        input_open = false;  // no more input: the program goes on until it is told to end
        continue;
      }
      pending.append(chunk, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        commands.Run(line);
      }
    }
  }
}

}  // namespace

int main() {
  // Signals arrive through a descriptor; every thread started below inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  const vemo::UniqueFd signal_fd(::signalfd(-1, &signals, SFD_CLOEXEC));
  const vemo::UniqueFd stop_fd(::eventfd(0, EFD_CLOEXEC));

  vemo::TerminalWindow window;
  vemo::UiLoop ui;
  vemo::TerminalPasswordPrompt prompt(
      [&ui](std::function<void()> task) { ui.Post(std::move(task)); }, window);
  vemo::Providers providers(prompt);
  int exit_code = 0;
  {
    SigningService::Options options;
    options.quit = [&ui](int code) { ui.Quit(code); };
    SigningService service(window, providers, std::move(options));
    Commands commands{window, prompt, ui, service};
    std::thread input_thread(ReadInput, std::ref(commands), signal_fd.get(), stop_fd.get());
    ui.Post([&service] { service.InitializeWindow(); });
    exit_code = ui.Run();
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(stop_fd.get(), &one, sizeof one);
    input_thread.join();
    // The service below joins its request loop, and the providers their keepers. A request
    // inside an outside module (a vendor's signer waiting on its token) cannot be cut short,
    // so a guard ends the process should that join hang.
    ::signal(SIGALRM, [](int) { ::_exit(0); });
    ::alarm(10);
  }
  return exit_code;
}
