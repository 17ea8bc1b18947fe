#pragma once

#include <functional>

namespace vemo {
class SigningService;
}

namespace vemo::shell {

// The program as the desktop runs it: the Qt application, the main window hidden in the tray,
// one event loop until "Завершение работы" (or SIGINT, SIGTERM, SIGHUP, which end the program
// the same way), and the end of the service and the providers after the loop.
class CVemo_Crypt_ServerApp {
 public:
  // Returns the exit code. after_start, when given, runs on the UI thread right after the
  // window's initialisation, unless the program is already ending (a second copy).
  int Run(int argc, char** argv, const std::function<void(SigningService&)>& after_start = nullptr);
};

}  // namespace vemo::shell
