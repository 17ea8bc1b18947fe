#include "platform/processes.h"

#include <dirent.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <system_error>

namespace vemo::platform {
namespace {

struct CloseDir {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

}  // namespace

std::vector<ProcessEntry> ListProcesses() {
  std::vector<ProcessEntry> processes;
  std::unique_ptr<DIR, CloseDir> proc(::opendir("/proc"));
  if (!proc) return processes;
  while (const dirent* entry = ::readdir(proc.get())) {
    const std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    // Kernel threads have no executable, and other users' processes do not let us read the
    // link: both are left out. The link text is kept as the kernel gives it, also the
    // " (deleted)" it appends when the file has been removed since the start, so such a
    // process no longer carries the executable's plain file name.
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/" + name + "/exe", error);
    if (error) continue;
    processes.push_back(
        {static_cast<pid_t>(std::strtol(name.c_str(), nullptr, 10)), std::move(executable)});
  }
  return processes;
}

}  // namespace vemo::platform
