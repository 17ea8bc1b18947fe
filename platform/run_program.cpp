#include "platform/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/unique_fd.h"

extern char** environ;

namespace vemo::platform {
namespace {

// posix_spawn's file actions and attributes, destroyed with the object.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

// Waits for the program to end until the deadline; past it, ends its whole process group.
int WaitFor(pid_t pid, std::chrono::steady_clock::time_point deadline, bool* timed_out) {
  int status = 0;
  for (;;) {
    const pid_t ended = ::waitpid(pid, &status, *timed_out ? 0 : WNOHANG);
    if (ended == pid) return status;
    if (ended < 0 && errno != EINTR) return status;
    if (!*timed_out && std::chrono::steady_clock::now() >= deadline) {
      *timed_out = true;
      ::kill(-pid, SIGKILL);
      continue;
    }
    if (!*timed_out) ::usleep(2000);
  }
}

}  // namespace

ProgramRun RunProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
  ProgramRun run;
  int pipe_fds[2];
  if (argv.empty() || ::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    run.output = "cannot make a pipe";
    return run;
  }
  UniqueFd read_end(pipe_fds[0]);
  UniqueFd write_end(pipe_fds[1]);

  SpawnSetup setup;
  posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&setup.actions, write_end.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&setup.actions, write_end.get(), STDERR_FILENO);
  // The child starts with default signal handling and mask, whatever the program blocks, and
  // in a session of its own, so that no tool can open our terminal to ask for anything.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setsigdefault(&setup.attributes, &all);
  posix_spawnattr_setflags(&setup.attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);

  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int spawn_error =
      ::posix_spawnp(&pid, args[0], &setup.actions, &setup.attributes, args.data(), environ);
  write_end.Close();
  if (spawn_error != 0) {
    run.output = argv[0] + ": " + std::strerror(spawn_error);
    return run;
  }
  run.started = true;

  const auto deadline = std::chrono::steady_clock::now() + limit;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timed_out = true;
      break;
    }
    pollfd watch{read_end.get(), POLLIN, 0};
    const int ready = ::poll(&watch, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;  // time is checked at the top
    const ssize_t got = ::read(read_end.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // every writer closed: the program ended (or closed its output)
    run.output.append(buffer, static_cast<size_t>(got));
  }
  if (run.timed_out) ::kill(-pid, SIGKILL);
  // A program that closed its output may still be running; it gets what is left of the time.
  const int status = WaitFor(pid, deadline, &run.timed_out);
  if (!run.timed_out && WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
  return run;
}

}  // namespace vemo::platform
