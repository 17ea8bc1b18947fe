// Scripted stand-ins for the vendors' signing modules. Built from this one source as
// libAvCryptMail.so (VEMO_FAKE_AVCRYPTMAIL, optionally without AvCmInitEx through
// VEMO_FAKE_NO_INITEX) and as libFCP.so (VEMO_FAKE_FCP). The script keys and the call lines are
// described in tests/fakes/fake_modules.h. Results in call lines are signed decimal numbers;
// the signature bytes written or appended are 0, 1, 2, ... (the index modulo 256).
//
// Every entry point may be called from any thread; a mutex keeps the call lines whole.

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/outside_modules.h"

#define VEMO_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::mutex call_mutex;

std::string FakeDir() {
  const char* dir = std::getenv("VEMO_FAKE_DIR");
  return dir ? dir : "";
}

std::string ReadAll(const std::string& path) {
  std::string bytes;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return bytes;
  char chunk[4096];
  ssize_t got;
  while ((got = ::read(fd, chunk, sizeof chunk)) > 0) bytes.append(chunk, static_cast<size_t>(got));
  ::close(fd);
  return bytes;
}

std::map<std::string, std::string> ReadScript() {
  std::map<std::string, std::string> script;
  const std::string dir = FakeDir();
  if (dir.empty()) return script;
  const std::string bytes = ReadAll(dir + "/script");
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    const std::string line = bytes.substr(start, end - start);
    const size_t equals = line.find('=');
    if (equals != std::string::npos) script[line.substr(0, equals)] = line.substr(equals + 1);
    start = end + 1;
  }
  return script;
}

// Accepts decimal (also negative) and 0x-prefixed hexadecimal, so that the Avest codes can be
// written as they are documented.
int64_t Number(const std::map<std::string, std::string>& script, const std::string& key,
               int64_t fallback) {
  const auto it = script.find(key);
  if (it == script.end() || it->second.empty()) return fallback;
  return std::strtoll(it->second.c_str(), nullptr, 0);
}

int32_t Result(const std::map<std::string, std::string>& script, const std::string& key) {
  return static_cast<int32_t>(static_cast<uint32_t>(Number(script, key, 0)));
}

void AppendCall(const std::string& line) {
  const std::string dir = FakeDir();
  if (dir.empty()) return;
  const std::string text = line + "\n";
  const int fd = ::open((dir + "/calls").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  // One write per line: with O_APPEND the line lands whole even beside another process.
  [[maybe_unused]] const ssize_t ignored = ::write(fd, text.data(), text.size());
  ::close(fd);
}

[[maybe_unused]] std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", value);
  return text;
}

}  // namespace

#ifdef VEMO_FAKE_AVCRYPTMAIL

namespace {
AvCmHandle next_handle = 1;
}

VEMO_EXPORT int32_t AvCmInit(uint32_t mode) {
  std::lock_guard lock(call_mutex);
  const auto script = ReadScript();
  AppendCall("AvCmInit mode=" + std::to_string(mode));
  return Result(script, "AvCmInit." + std::to_string(mode));
}

#ifndef VEMO_FAKE_NO_INITEX
VEMO_EXPORT int32_t AvCmInitEx(void) {
  std::lock_guard lock(call_mutex);
  AppendCall("AvCmInitEx -> 0");
  return 0;
}
#endif

VEMO_EXPORT int32_t AvCmLogin(const void*, const void*, AvCmHandle* handle, int32_t flags) {
  std::lock_guard lock(call_mutex);
  const auto script = ReadScript();
  const int32_t result = Result(script, "AvCmLogin");
  std::string line = "AvCmLogin flags=" + std::to_string(flags) + " -> " + std::to_string(result);
  if (result == 0) {
    AvCmHandle value = next_handle++;
    if (script.count("AvCmLogin.handle")) {
      value = static_cast<AvCmHandle>(Number(script, "AvCmLogin.handle", 0));
    }
    if (handle) *handle = value;
    line += " handle=" + std::to_string(value);
  }
  AppendCall(line);
  return result;
}

VEMO_EXPORT int32_t AvCmLogout(AvCmHandle handle, int32_t flags) {
  std::lock_guard lock(call_mutex);
  const int32_t result = Result(ReadScript(), "AvCmLogout");
  AppendCall("AvCmLogout handle=" + std::to_string(handle) + " flags=" + std::to_string(flags) +
             " -> " + std::to_string(result));
  return result;
}

VEMO_EXPORT int32_t AvCmSign(void) {
  std::lock_guard lock(call_mutex);
  AppendCall("AvCmSign -> 0");
  return 0;
}

#endif  // VEMO_FAKE_AVCRYPTMAIL

#ifdef VEMO_FAKE_FCP

namespace {

// True when the address is the AvCmSign export of an AvCryptMail module, as the program must
// hand it on.
bool IsAvCryptMailSign(void* address) {
  Dl_info info{};
  if (!address || ::dladdr(address, &info) == 0) return false;
  if (!info.dli_sname || std::strcmp(info.dli_sname, "AvCmSign") != 0) return false;
  if (info.dli_saddr != address || !info.dli_fname) return false;
  const char* slash = std::strrchr(info.dli_fname, '/');
  const char* file = slash ? slash + 1 : info.dli_fname;
  return std::strcmp(file, "libAvCryptMail.so") == 0;
}

int64_t FileSize(const char* path) {
  struct stat st {};
  if (!path || ::stat(path, &st) != 0) return -1;
  return st.st_size;
}

std::string Text(const char* text) { return text ? text : "(null)"; }

}  // namespace

VEMO_EXPORT int32_t sign_Avest(void* av_cm_sign, AvCmHandle handle, const uint8_t*,
                               uint32_t document_length, uint8_t* signature,
                               int32_t* signature_length, uint32_t flags) {
  std::unique_lock lock(call_mutex);
  const auto script = ReadScript();
  const int32_t result = Result(script, "sign_Avest");
  const int32_t capacity = signature_length ? *signature_length : -1;
  AppendCall(
      "sign_Avest handle=" + std::to_string(handle) + " length=" + std::to_string(document_length) +
      " capacity=" + std::to_string(capacity) + " flags=" + Hex(flags) +
      " sign_ok=" + (IsAvCryptMailSign(av_cm_sign) ? "1" : "0") + " -> " + std::to_string(result));
  const auto sleep_ms = Number(script, "sign_Avest.sleep_ms", 0);
  const auto length = static_cast<int32_t>(Number(script, "sign_Avest.length", 64));
  lock.unlock();
  if (sleep_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
  if (result == 0 && signature_length) {
    // A length outside the buffer is only reported, so that the caller's check can be seen.
    if (signature && length >= 0 && length <= capacity) {
      for (int32_t i = 0; i < length; ++i) signature[i] = static_cast<uint8_t>(i);
    }
    *signature_length = length;
  }
  return result;
}

VEMO_EXPORT int32_t sign_Enigma(const char* observer_folder, const char* temp_file_path,
                                const char* password) {
  std::lock_guard lock(call_mutex);
  const auto script = ReadScript();
  const int64_t size = FileSize(temp_file_path);
  const auto right =
      script.count("sign_Enigma.password") ? script.at("sign_Enigma.password") : std::string();
  int32_t result = 38;
  if (right == "*" || (password && right == password)) result = Result(script, "sign_Enigma");
  if (result == 0) {
    const int fd = temp_file_path ? ::open(temp_file_path, O_WRONLY | O_APPEND | O_CLOEXEC) : -1;
    if (fd < 0) {
      result = 256;
    } else {
      const std::string bytes = [&] {
        std::string b(static_cast<size_t>(Number(script, "sign_Enigma.append", 512)), '\0');
        for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<char>(i);
        return b;
      }();
      if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        result = 256;
      }
      ::close(fd);
    }
  }
  const int64_t truncate_to = Number(script, "sign_Enigma.truncate", -1);
  if (truncate_to >= 0 && temp_file_path) {
    [[maybe_unused]] const int ignored = ::truncate(temp_file_path, truncate_to);
  }
  AppendCall("sign_Enigma folder=" + Text(observer_folder) + " temp=" + Text(temp_file_path) +
             " password=" + Text(password) + " size=" + std::to_string(size) + " -> " +
             std::to_string(result));
  return result;
}

#endif  // VEMO_FAKE_FCP
