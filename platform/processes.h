#pragma once

#include <sys/types.h>

#include <filesystem>
#include <vector>

namespace vemo::platform {

struct ProcessEntry {
  pid_t pid;
  std::filesystem::path executable;  // full path from /proc/PID/exe
};

// The running processes whose executable we may read (our user's), in /proc order.
std::vector<ProcessEntry> ListProcesses();

}  // namespace vemo::platform
