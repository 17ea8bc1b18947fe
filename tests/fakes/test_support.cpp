#include "tests/fakes/test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "support/text_conversions.h"

namespace vemo::test {
namespace {

void SetEnv(const char* name, const std::filesystem::path& value) {
  ::setenv(name, value.c_str(), 1);
}

}  // namespace

TempHome::TempHome() {
  std::random_device random;
  const auto base = std::filesystem::temp_directory_path();
  path_ = base / ("vemo-test-" + std::to_string(::getpid()) + "-" + std::to_string(random()));
  std::filesystem::create_directories(path_);
  for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "TMPDIR"}) {
    const char* old = std::getenv(name);
    saved_env_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
  }
  std::filesystem::create_directories(path_ / ".config");
  std::filesystem::create_directories(RuntimeDir());
  ::chmod(RuntimeDir().c_str(), 0700);
  SetEnv("HOME", path_);
  SetEnv("XDG_CONFIG_HOME", path_ / ".config");
  SetEnv("XDG_RUNTIME_DIR", RuntimeDir());
  SetEnv("TMPDIR", path_);
}

TempHome::~TempHome() {
  for (const auto& [name, value] : saved_env_) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
  std::error_code ignored;
  // Read-only leftovers must not stop the clean-up.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempHome::DataFolder() const {
  return path_ / ".config" / "Tramontel_Vemo_Server_Crypt";
}

std::filesystem::path TempHome::RuntimeDir() const { return path_ / "run"; }

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::vector<std::string> EventLogEntries(const std::filesystem::path& log_file) {
  const std::string bytes = ReadFileBytes(log_file);
  std::vector<std::string> entries;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(start, end - start);
    // "[dd.mm.yyyy hh:mm:ss]: " is 23 characters for years of four digits.
    if (line.size() >= 23 && line[0] == '[') line = line.substr(23);
    std::u16string wide;
    for (unsigned char c : line) wide.push_back(Cp1251ToWide(c));
    entries.push_back(WideToUtf8(wide));
    start = end + 2;
  }
  return entries;
}

std::string U8(std::u16string_view text) { return WideToUtf8(text); }
std::u16string U16(std::string_view utf8) { return Utf8ToWide(utf8); }

void RecordingWindow::AddLogLine(std::u16string_view text) {
  std::lock_guard lock(mutex_);
  events_.push_back({"log", U8(text)});
}
void RecordingWindow::AddUntimedLine(std::u16string_view text) {
  std::lock_guard lock(mutex_);
  events_.push_back({"untimed", U8(text)});
}
void RecordingWindow::ShowServiceButtons(bool running) {
  std::lock_guard lock(mutex_);
  stop_visible_ = running;
  events_.push_back({"buttons", "", running});
}
void RecordingWindow::EnableStopButton() {
  std::lock_guard lock(mutex_);
  events_.push_back({"enable_stop", ""});
}
void RecordingWindow::SetTrayIcon(bool running, std::u16string_view tip) {
  std::lock_guard lock(mutex_);
  tray_present_ = true;
  tray_running_ = running;
  tray_tip_ = U8(tip);
  events_.push_back({"tray", tray_tip_, running});
}
void RecordingWindow::RemoveTrayIcon() {
  std::lock_guard lock(mutex_);
  tray_present_ = false;
  events_.push_back({"remove_tray", ""});
}
void RecordingWindow::ShowMessageBox(std::u16string_view text) {
  std::lock_guard lock(mutex_);
  events_.push_back({"message", U8(text)});
}
void RecordingWindow::ShowProviderBox(const ProviderBox& box) {
  std::lock_guard lock(mutex_);
  entries_ = box.entries();
  selected_ = box.selected_index();
  events_.push_back({"box", box.SelectedText() ? U8(*box.SelectedText()) : ""});
}
std::optional<std::u16string> RecordingWindow::RunSettingsDialog(
    std::u16string_view default_provider, std::u16string_view active_provider) {
  std::lock_guard lock(mutex_);
  events_.push_back({"settings", U8(default_provider) + "|" + U8(active_provider)});
  if (settings_answers_.empty()) return std::nullopt;
  auto answer = std::move(settings_answers_.front());
  settings_answers_.pop_front();
  return answer;
}
void RecordingWindow::QueueSettingsAnswer(std::optional<std::u16string> answer) {
  std::lock_guard lock(mutex_);
  settings_answers_.push_back(std::move(answer));
}
std::vector<RecordingWindow::Event> RecordingWindow::Events() const {
  std::lock_guard lock(mutex_);
  return events_;
}
std::vector<std::string> RecordingWindow::Texts(const std::string& kind) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> texts;
  for (const auto& event : events_) {
    if (event.kind == kind) texts.push_back(event.text);
  }
  return texts;
}
std::vector<std::u16string> RecordingWindow::Entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}
std::optional<size_t> RecordingWindow::Selected() const {
  std::lock_guard lock(mutex_);
  return selected_;
}
std::optional<std::u16string> RecordingWindow::SelectedEntry() const {
  std::lock_guard lock(mutex_);
  if (!selected_) return std::nullopt;
  return entries_[*selected_];
}
bool RecordingWindow::StopButtonVisible() const {
  std::lock_guard lock(mutex_);
  return stop_visible_;
}
std::string RecordingWindow::TrayTip() const {
  std::lock_guard lock(mutex_);
  return tray_tip_;
}
bool RecordingWindow::TrayRunning() const {
  std::lock_guard lock(mutex_);
  return tray_running_;
}
bool RecordingWindow::TrayPresent() const {
  std::lock_guard lock(mutex_);
  return tray_present_;
}

ScriptedPrompt::ScriptedPrompt() : PasswordPrompt([](std::function<void()> task) { task(); }) {}

void ScriptedPrompt::QueuePasswords(std::vector<std::optional<std::u16string>> answers) {
  std::lock_guard lock(mutex_);
  for (auto& answer : answers) passwords_.push_back(std::move(answer));
}
void ScriptedPrompt::HoldDialogs() {
  std::lock_guard lock(mutex_);
  hold_ = true;
}
int ScriptedPrompt::DialogCount() const {
  std::lock_guard lock(mutex_);
  return dialogs_;
}
int ScriptedPrompt::ClosedCount() const {
  std::lock_guard lock(mutex_);
  return closed_;
}
void ScriptedPrompt::ShowDialog() {
  std::optional<std::u16string> answer;
  {
    std::lock_guard lock(mutex_);
    ++dialogs_;
    if (hold_) return;
    if (!passwords_.empty()) {
      answer = std::move(passwords_.front());
      passwords_.pop_front();
    }
  }
  Answer(answer ? std::optional<SecretWide>(SecretWide(std::move(*answer))) : std::nullopt);
}
void ScriptedPrompt::CloseDialog() {
  std::lock_guard lock(mutex_);
  ++closed_;
}

std::string SettingsFileWith(std::u16string_view default_provider) {
  std::string bytes = "[Vemo_Server_Crypt Settings]\r\ndefaultProvider=";
  for (char16_t c : default_provider) {
    bytes.push_back(static_cast<char>(WideToCp1251(c).value_or('?')));
  }
  return bytes + "\r\n";
}

bool PortAcceptsConnections(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

}  // namespace vemo::test
