#include "shell/application.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdlib>

#include "platform/session_monitor.h"
#include "providers/provider_start.h"
#include "service/service_host.h"
#include "shell/main_dialog.h"
#include "shell/password_dialog.h"
#include "support/event_log.h"
#include "support/unique_fd.h"

namespace vemo::shell {
namespace {

// With no display at all the program still serves, on Qt's offscreen platform.
void ChoosePlatformWithoutDisplay() {
  if (std::getenv("QT_QPA_PLATFORM")) return;
  const char* x11 = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((!x11 || !*x11) && (!wayland || !*wayland)) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

}  // namespace

int CVemo_Crypt_ServerApp::Run(int argc, char** argv,
                               const std::function<void(SigningService&)>& after_start) {
  // The end signals arrive through a descriptor that the event loop watches; every thread,
  // Qt's own included, inherits the mask.
  sigset_t end_signals;
  sigemptyset(&end_signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&end_signals, s);
  pthread_sigmask(SIG_BLOCK, &end_signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  const UniqueFd signal_fd(::signalfd(-1, &end_signals, SFD_CLOEXEC | SFD_NONBLOCK));

  ChoosePlatformWithoutDisplay();
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Vemo_Server_Crypt"));
  QApplication::setApplicationVersion(QStringLiteral(VEMO_VERSION));
  QApplication::setDesktopFileName(QStringLiteral("vemo-server-crypt"));
  // Hidden in the tray is still running: closing the last window ends nothing.
  QApplication::setQuitOnLastWindowClosed(false);
  // Restart support only: the session may start the program again; there is no state to save.
  QObject::connect(&app, &QGuiApplication::saveStateRequest, &app, [](QSessionManager& manager) {
    manager.setRestartHint(QSessionManager::RestartIfRunning);
  });

  QtPasswordPrompt prompt;
  Providers providers(prompt);
  int exit_code = 0;
  {
    CVemo_Crypt_ServerDlg window;
    platform::SessionMonitor session_monitor;
    SigningService::Options options;
    options.quit = [](int code) { QCoreApplication::exit(code); };
    options.register_session_notifications = [&session_monitor] {
      const QString missing = session_monitor.Start();
      if (missing.isEmpty()) return;
      // The program runs on without these events; said once, for whoever reads the log.
      const std::u16string reason = missing.toStdU16String();
      WriteEvent(u"Session notifications unavailable", std::u16string_view(reason), {},
                 EventValueFormat::kText);
    };
    SigningService service(window, providers, std::move(options));
    window.Attach(service);
    QObject::connect(&session_monitor, &platform::SessionMonitor::SessionChanged, &app,
                     [&service, &session_monitor](uint32_t event, uint32_t session) {
                       service.HandleSessionChange(event, session, session_monitor.ids().own,
                                                   session_monitor.ids().console);
                     });

    QSocketNotifier signal_notifier(signal_fd.get(), QSocketNotifier::Read);
    QObject::connect(&signal_notifier, &QSocketNotifier::activated, &app, [&] {
      signalfd_siginfo info;
      while (::read(signal_fd.get(), &info, sizeof info) == sizeof info) {
      }
      service.ExitApplication();
    });

    // Inside the loop, so that a start that ends the program (a second copy) ends the loop.
    QTimer::singleShot(0, &window, [&] {
      window.Initialize();
      if (after_start && !service.Ending()) after_start(service);
    });
    exit_code = app.exec();

    // The service joins its request loop here and the providers their keepers below. A
    // request inside an outside module (a vendor's signer waiting on its token) cannot be cut
    // short, so a guard ends the process should that join hang.
    ::signal(SIGALRM, [](int) { ::_exit(0); });
    ::alarm(10);
  }
  return exit_code;
}

}  // namespace vemo::shell
