// getDocSign end to end: the program started as a user starts it, with the scripted fake
// signer, and bodies of 1 KiB, 1 MiB and 20 MiB posted over one TLS connection. Reports the
// latency of each size and the peak memory of the program above its idle size.
//
//   getdocsign_bench BIN_DIR [REPEATS]
//
// BIN_DIR holds Vemo_Server_Crypt and fakes/ (a build with the tests).

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/base64.h"
#include "tests/client/tls_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using vemo::test::PostRequest;
using vemo::test::TlsClient;
using vemo::test::TlsClientOptions;

// A 20 MiB body is read, decoded and signed before the reply.
constexpr auto kReplyTimeout = std::chrono::seconds(60);

// VmRSS or VmHWM of the process in KiB.
long StatusKib(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0)
      return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
  }
  return -1;
}

pid_t StartProgram(const std::filesystem::path& bin, const std::filesystem::path& home) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (home / "run").c_str(), 1);
    ::setenv("LD_LIBRARY_PATH", (bin / "fakes").c_str(), 1);
    ::setenv("VEMO_FAKE_DIR", (home / "fake").c_str(), 1);
    std::freopen("/dev/null", "r", stdin);
    std::freopen((home / "program.out").c_str(), "w", stdout);
    ::execl((bin / "Vemo_Server_Crypt").c_str(), "Vemo_Server_Crypt", nullptr);
    std::_Exit(127);
  }
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s BIN_DIR [REPEATS]\n", argv[0]);
    return 2;
  }
  const std::filesystem::path bin = std::filesystem::absolute(argv[1]);
  const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::filesystem::path home =
      std::filesystem::temp_directory_path() / ("vemo-getdocsign-" + std::to_string(::getpid()));
  std::filesystem::create_directories(home / "run");
  std::filesystem::create_directories(home / "fake");
  std::filesystem::permissions(home / "run", std::filesystem::perms::owner_all);
  const pid_t program = StartProgram(bin, home);
  const auto ca = home / ".config/Tramontel_Vemo_Server_Crypt/localhost-ca.pem";

  int rc = 0;
  try {
    std::unique_ptr<TlsClient> client;
    for (int attempt = 0;; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (!std::filesystem::exists(ca)) continue;
      client = std::make_unique<TlsClient>(9009, ca, TlsClientOptions{.address = "localhost"});
      if (client->error().empty()) break;
      if (attempt > 50) throw std::runtime_error("the program does not listen");
    }

    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long idle = StatusKib(program, "VmRSS");
    std::printf("idle: %ld KiB resident\n", idle);
    std::printf("%-8s %-10s %10s %10s %10s %14s %10s\n", "body", "document", "p50 ms", "max ms",
                "min ms", "peak-idle KiB", "x body");
    std::mt19937 random(42);
    for (const size_t body_size : {size_t{1024}, size_t{1} << 20, size_t{20} << 20}) {
      std::string document(body_size / 4 * 3, '\0');
      for (auto& byte : document) byte = static_cast<char>(random());
      const std::string body = vemo::Base64Encode(document);
      const std::string request = PostRequest("/?action=getDocSign", body);
      std::vector<double> latencies;
      for (int i = 0; i < repeats; ++i) {
        const auto sent = Clock::now();
        if (!client->Send(request)) throw std::runtime_error("cannot send the request");
        const auto reply = client->ReadReply(kReplyTimeout);
        if (!reply) throw std::runtime_error("no reply");
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        if (reply->body.rfind(R"({"sign":")", 0) != 0) {
          std::fprintf(stderr, "unexpected reply: %.200s\n", reply->body.c_str());
          return 1;
        }
      }
      std::sort(latencies.begin(), latencies.end());
      const long peak = StatusKib(program, "VmHWM") - idle;
      std::printf("%-8zu %-10zu %10.2f %10.2f %10.2f %14ld %10.2f\n", body.size(), document.size(),
                  latencies[latencies.size() / 2], latencies.back(), latencies.front(), peak,
                  static_cast<double>(peak) * 1024 / static_cast<double>(body.size()));
    }
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "getdocsign_bench: %s\n", failure.what());
    rc = 1;
  }
  ::kill(program, SIGTERM);
  ::waitpid(program, nullptr, 0);
  std::filesystem::remove_all(home);
  return rc;
}
