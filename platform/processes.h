#pragma once

#include <filesystem>
#include <vector>

#include <sys/types.h>

namespace vemo::platform {

struct ProcessEntry {
  pid_t pid;
  std::filesystem::path executable;  // full path from /proc/PID/exe
};

// The running processes whose executable we may read (our user's), in /proc order.
std::vector<ProcessEntry> ListProcesses();

}  // namespace vemo::platform
