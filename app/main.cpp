// Vemo_Server_Crypt: the local signing service for the bank's internet-banking page, a
// program of the desktop's tray.

#include "shell/application.h"

int main(int argc, char** argv) { return vemo::shell::CVemo_Crypt_ServerApp().Run(argc, argv); }
