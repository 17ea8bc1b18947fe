#include "tests/fakes/fake_modules.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "platform/files.h"
#include "tests/fakes/test_support.h"

namespace vemo::test {
namespace {

std::filesystem::path TestBinDir() {
  const char* dir = std::getenv("VEMO_TEST_BIN_DIR");
  if (!dir || !*dir) throw std::runtime_error("VEMO_TEST_BIN_DIR is not set");
  return dir;
}

// Replaced in one step, so that a fake reading its script at that moment sees the old one or
// the new one, and no descriptor of it can leak into a child that is being started.
void ReplaceFile(const std::filesystem::path& path, const std::string& bytes, mode_t mode) {
  std::string error;
  if (!platform::WriteFileAtomically(path, bytes, mode, &error)) throw std::runtime_error(error);
}

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    lines.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::filesystem::path ExecutableOf(pid_t pid) {
  std::error_code error;
  auto target = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
  return error ? std::filesystem::path() : target;
}

}  // namespace

FakeModules::FakeModules(std::filesystem::path folder) : folder_(std::move(folder)) {
  std::filesystem::create_directories(folder_);
  ::setenv("VEMO_FAKE_DIR", folder_.c_str(), 1);
  WriteScript();
  ClearCalls();
}

void FakeModules::Set(const std::string& key, const std::string& value) {
  script_[key] = value;
  WriteScript();
}

void FakeModules::WriteScript() const {
  std::string text;
  for (const auto& [key, value] : script_) text += key + "=" + value + "\n";
  ReplaceFile(folder_ / "script", text, 0600);
}

std::vector<std::string> FakeModules::Calls() const {
  return Lines(ReadFileBytes(folder_ / "calls"));
}

std::vector<std::string> FakeModules::Calls(const std::string& entry) const {
  std::vector<std::string> matching;
  for (auto& line : Calls()) {
    if (line == entry || line.rfind(entry + " ", 0) == 0) matching.push_back(std::move(line));
  }
  return matching;
}

void FakeModules::ClearCalls() { ReplaceFile(folder_ / "calls", "", 0600); }

std::filesystem::path FakeModulesFolder() { return TestBinDir() / "fakes"; }

std::filesystem::path FakeModulesWithoutInitExFolder() { return FakeModulesFolder() / "no_initex"; }

std::filesystem::path FakeObserverExecutable() {
  return FakeModulesFolder() / "observer" / "MCardObserver.exe";
}

FakeObserver::FakeObserver(const std::filesystem::path& folder, bool with_sign_program) {
  std::filesystem::create_directories(folder);
  const std::filesystem::path executable = folder / "MCardObserver.exe";
  ReplaceFile(executable, ReadFileBytes(FakeObserverExecutable()), 0755);
  if (with_sign_program) {
    std::filesystem::create_directories(folder / "PacMcard");
    ReplaceFile(folder / "PacMcard" / "sign.exe", "#!/bin/sh\nexit 0\n", 0755);
  }
  // The kernel shows the executable by its real path, links resolved.
  const std::filesystem::path expected = std::filesystem::canonical(executable);

  const std::string program = executable.string();
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid_ == 0) {
    // A test that dies without its destructors (a crash, a timeout's kill) must not leave an
    // observer behind for every later test on the machine to find. The signal comes when the
    // starting thread ends, so observers are started from the test's own thread.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(126);
    ::execv(program.c_str(), argv);
    ::_exit(127);
  }
  if (!WaitFor([&] { return ExecutableOf(pid_) == expected; })) {
    Stop();
    throw std::runtime_error("the fake observer did not start from " + program);
  }
}

FakeObserver::~FakeObserver() { Stop(); }

void FakeObserver::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

}  // namespace vemo::test
