#pragma once

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace vemo::test {

// The scripted outside modules built from tests/fakes:
//   $VEMO_TEST_BIN_DIR/fakes/libAvCryptMail.so, $VEMO_TEST_BIN_DIR/fakes/libFCP.so
//   $VEMO_TEST_BIN_DIR/fakes/no_initex/libAvCryptMail.so (without the AvCmInitEx export)
// Test executables that use them run with LD_LIBRARY_PATH pointing at one of those folders.
//
// At every call a fake reads its script from $VEMO_FAKE_DIR/script ("key=value" lines) and
// appends one line describing the call to $VEMO_FAKE_DIR/calls. Keys (defaults in brackets):
//   AvCmInit.1, AvCmInit.2 [0]       results of AvCmInit(1) and AvCmInit(2)
//   AvCmLogin [0]                    result; on 0 the handle is AvCmLogin.handle [next of 1,2,..]
//   AvCmLogout [0]                   result
//   sign_Avest [0]                   result
//   sign_Avest.length [64]           signature bytes written and reported (may be made to
//                                    exceed the capacity or be negative: only the report then)
//   sign_Avest.sleep_ms [0]          time the call takes
//   sign_Enigma [0]                  result when the password is right
//   sign_Enigma.password [""]        the right password; another one gives 38; "*" takes any
//   sign_Enigma.append [512]         signature bytes appended to the temporary file on success
//   sign_Enigma.truncate [-1]        when >= 0, the file is cut to this size after the call
// Call lines:
//   AvCmInit mode=1
//   AvCmLogin flags=8 -> 0 handle=1
//   AvCmLogout handle=1 flags=0 -> 0
//   sign_Avest handle=1 length=1000 capacity=8192 flags=2100100 sign_ok=1 -> 0
//   sign_Enigma folder=<narrow bytes> temp=<narrow bytes> password=<narrow bytes> size=<file size> -> 0
// (sign_ok tells whether the first argument was the module's own AvCmSign.)
class FakeModules {
 public:
  // Sets VEMO_FAKE_DIR to the folder and empties script and calls.
  explicit FakeModules(std::filesystem::path folder);
  void Set(const std::string& key, const std::string& value);
  std::vector<std::string> Calls() const;
  // The calls whose line begins with the entry point's name.
  std::vector<std::string> Calls(const std::string& entry) const;
  void ClearCalls();

 private:
  void WriteScript() const;
  std::filesystem::path folder_;
  std::map<std::string, std::string> script_;
};

// The folder of the fake modules, and the fake observer executable "MCardObserver.exe".
std::filesystem::path FakeModulesFolder();
std::filesystem::path FakeModulesWithoutInitExFolder();
std::filesystem::path FakeObserverExecutable();

// A running copy of the fake observer, started from <folder>/MCardObserver.exe (the
// executable is copied there), killed and reaped by the destructor. With with_sign_program,
// <folder>/PacMcard/sign.exe is created too.
class FakeObserver {
 public:
  FakeObserver(const std::filesystem::path& folder, bool with_sign_program = true);
  ~FakeObserver();
  FakeObserver(const FakeObserver&) = delete;
  FakeObserver& operator=(const FakeObserver&) = delete;
  void Stop();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

}  // namespace vemo::test
