#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace vemo::platform {

// What one run of a tool gave.
struct ProgramRun {
  bool started = false;    // false: the program could not be run at all (see output)
  bool timed_out = false;  // ended by us after the time limit
  int exit_code = -1;      // its exit code; -1 when it did not end by itself
  std::string output;      // standard output and standard error together
};

// Runs a program found through PATH with the arguments given (argv[0] included), its standard
// input from /dev/null and its output collected, and waits until it ends or the time limit
// passes, when it is killed. Returns only after the program has ended; no child is left
// behind. Any thread may call it.
ProgramRun RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit);

}  // namespace vemo::platform
