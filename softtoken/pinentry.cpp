#include "softtoken/pinentry.h"

#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "support/unique_fd.h"

extern char** environ;

namespace vemo::token {
namespace {

// libgpg-error's codes for a prompt the user closed or let time out.
constexpr unsigned kGpgCanceled = 99;
constexpr unsigned kGpgTimeout = 62;
constexpr unsigned kGpgFullyCanceled = 198;

// Assuan lines are at most 1000 bytes with the line feed.
constexpr size_t kMaxLine = 1000;

std::mutex prompt_mutex;
pid_t prompt_pid = 0;
bool held_back = false;

std::string Escaped(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (out.size() + 3 > kMaxLine - 16) break;  // room for the command's name
    const auto byte = static_cast<unsigned char>(c);
    if (c == '%' || byte < 0x20) {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// One Assuan connection to the prompt. The bytes received may hold the PIN: every buffer is
// wiped when it is done with.
class Channel {
 public:
  explicit Channel(int fd) : fd_(fd) {}
  ~Channel() {
    ::explicit_bzero(pending_, sizeof pending_);
    ::explicit_bzero(line_, sizeof line_);
  }
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  bool Send(std::string_view line) {
    std::string bytes(line);
    bytes += '\n';
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // Reads the answer to the last command up to its OK or ERR. Data lines are decoded into
  // *data when given. Returns 0 for OK, the error code of ERR, or -1 when the prompt went away
  // or broke the protocol.
  long Answer(SecretNarrow* data) {
    for (;;) {
      if (!ReadLine()) return -1;
      const std::string_view line(line_, line_length_);
      if (line == "OK" || line.starts_with("OK ")) return 0;
      if (line.starts_with("ERR ")) {
        const long code = std::strtol(line_ + 4, nullptr, 10);
        return code > 0 ? code : -1;
      }
      if (line.starts_with("D ")) {
        if (!data || !Decode(line.substr(2), data)) return -1;
      } else if (line.starts_with("INQUIRE ")) {
        if (!Send("CAN")) return -1;
      } else if (!line.starts_with("S ") && !line.starts_with("#") && line != "S") {
        return -1;
      }
    }
  }

 private:
  static bool Decode(std::string_view encoded, SecretNarrow* data) {
    char decoded[kMaxLine];
    size_t length = 0;
    bool ok = true;
    for (size_t i = 0; i < encoded.size() && ok; ++i) {
      if (encoded[i] != '%') {
        decoded[length++] = encoded[i];
      } else if (i + 2 < encoded.size() && HexDigit(encoded[i + 1]) >= 0 &&
                 HexDigit(encoded[i + 2]) >= 0) {
        decoded[length++] =
            static_cast<char>(HexDigit(encoded[i + 1]) * 16 + HexDigit(encoded[i + 2]));
        i += 2;
      } else {
        ok = false;
      }
    }
    if (ok) {
      std::string joined;
      joined.reserve(data->size() + length);  // no copy left behind by a reallocation
      joined.append(data->view());
      joined.append(decoded, length);
      *data = SecretNarrow(std::move(joined));
    }
    ::explicit_bzero(decoded, sizeof decoded);
    return ok;
  }

  bool ReadLine() {
    ::explicit_bzero(line_, sizeof line_);
    for (;;) {
      for (size_t i = 0; i < pending_length_; ++i) {
        if (pending_[i] != '\n') continue;
        std::memcpy(line_, pending_, i);
        line_length_ = i;
        std::memmove(pending_, pending_ + i + 1, pending_length_ - i - 1);
        pending_length_ -= i + 1;
        ::explicit_bzero(pending_ + pending_length_, sizeof pending_ - pending_length_);
        return true;
      }
      if (pending_length_ == sizeof pending_) return false;  // a line beyond the limit
      const ssize_t n =
          ::recv(fd_, pending_ + pending_length_, sizeof pending_ - pending_length_, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      pending_length_ += static_cast<size_t>(n);
    }
  }

  int fd_;
  char pending_[kMaxLine];
  size_t pending_length_ = 0;
  char line_[kMaxLine];
  size_t line_length_ = 0;
};

// Waits for the prompt to end; one that lingers after its connection closed is killed.
void Reap(pid_t pid) {
  using namespace std::chrono_literals;
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      return;
    }
    std::this_thread::sleep_for(10ms);
  }
}

pid_t Spawn(int child_end) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_adddup2(&actions, child_end, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, child_end, STDOUT_FILENO);
  // The prompt starts with default signal handling and nothing blocked, whatever this
  // process set up for itself.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  char program[] = "pinentry";
  char* argv[] = {program, nullptr};
  pid_t pid = 0;
  const int error = ::posix_spawnp(&pid, program, &actions, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    std::fprintf(stderr, "PIN prompt: cannot run pinentry: %s\n", ::strerror(error));
    return 0;
  }
  return pid;
}

PinAnswer Converse(Channel& channel, const PinRequest& request) {
  PinAnswer answer;
  if (channel.Answer(nullptr) != 0) return answer;  // the greeting
  std::vector<std::string> commands;
  // A terminal prompt needs to know the terminal; a graphical one finds the display itself.
  if (::isatty(STDIN_FILENO)) {
    if (const char* tty = ::ttyname(STDIN_FILENO))
      commands.push_back(std::string("OPTION ttyname=") + tty);
    if (const char* term = std::getenv("TERM"))
      commands.push_back(std::string("OPTION ttytype=") + term);
  }
  commands.push_back("SETTITLE Vemo_Server_Crypt");
  commands.push_back("SETDESC " + Escaped(request.description));
  commands.push_back("SETPROMPT PIN:");
  commands.push_back("SETOK " + Escaped("Подписать"));
  commands.push_back("SETCANCEL " + Escaped("Отмена"));
  if (!request.error.empty()) commands.push_back("SETERROR " + Escaped(request.error));
  for (const std::string& command : commands) {
    // An option the prompt does not know is no reason to give up.
    if (!channel.Send(command) || channel.Answer(nullptr) < 0) return answer;
  }
  if (!channel.Send("GETPIN")) return answer;
  SecretNarrow pin;
  const long result = channel.Answer(&pin);
  const unsigned code = result > 0 ? static_cast<unsigned>(result) & 0xFFFF : 0;
  if (result == 0) {
    answer.outcome = PinAnswer::kEntered;
    answer.pin = std::move(pin);
  } else if (code == kGpgCanceled || code == kGpgTimeout || code == kGpgFullyCanceled) {
    answer.outcome = PinAnswer::kCancelled;
  }
  channel.Send("BYE");
  return answer;
}

}  // namespace

void HoldBackPinPrompts(bool hold) {
  std::lock_guard lock(prompt_mutex);
  held_back = hold;
  if (hold && prompt_pid > 0) ::kill(prompt_pid, SIGTERM);
}

PinAnswer AskPin(const PinRequest& request) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return {};
  UniqueFd ours(ends[0]);
  pid_t pid = 0;
  {
    UniqueFd theirs(ends[1]);
    std::lock_guard lock(prompt_mutex);
    if (held_back) return {PinAnswer::kCancelled, {}};
    pid = Spawn(theirs.get());
    if (pid == 0) return {};
    prompt_pid = pid;
  }
  PinAnswer answer;
  {
    Channel channel(ours.get());
    answer = Converse(channel, request);
  }
  ours.Close();
  bool cancelled_by_release;
  {
    std::lock_guard lock(prompt_mutex);
    prompt_pid = 0;  // before the reaping, so that no other process with its number is hit
    cancelled_by_release = held_back;
  }
  Reap(pid);
  // A prompt ended because the module is being released counts as cancelled.
  if (cancelled_by_release) answer = {PinAnswer::kCancelled, {}};
  return answer;
}

}  // namespace vemo::token
