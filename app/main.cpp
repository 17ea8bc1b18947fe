// Vemo_Server_Crypt: the local signing service for the bank's internet-banking page, a
// program of the desktop's tray.

#include <iostream>

#include "app/browser_trust_start.h"
#include "app/certificate_command.h"
#include "shell/application.h"

int main(int argc, char** argv) {
  if (const auto code = vemo::app::RunCommandLine(argc, argv, std::cout, std::cerr)) return *code;
  return vemo::shell::CVemo_Crypt_ServerApp().Run(argc, argv, vemo::app::KeepBrowserTrust);
}
