#pragma once

namespace vemo::shell {

// The program as the desktop runs it: the Qt application, the main window hidden in the tray,
// one event loop until "Завершение работы" (or SIGINT, SIGTERM, SIGHUP, which end the program
// the same way), and the end of the service and the providers after the loop.
class CVemo_Crypt_ServerApp {
 public:
  // Returns the exit code.
  int Run(int argc, char** argv);
};

}  // namespace vemo::shell
