#pragma once

#include <optional>
#include <ostream>

namespace vemo::app {

// The program's command-line options, handled before any window exists:
//   --install-certificate  adds the local CA to the user's browser certificate databases
//   --remove-certificate   takes it out again
//   -h, --help             lists the options
// Returns the exit code when the arguments ask for one of them (0: done, 1: a database could
// not be changed, 2: the arguments are wrong), or nullopt when none of them is there: the
// program then starts as always, and Qt takes its own arguments (a session's "-session").
std::optional<int> RunCommandLine(int argc, const char* const* argv, std::ostream& out,
                                  std::ostream& err);

}  // namespace vemo::app
