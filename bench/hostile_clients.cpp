// What well-behaved clients get while one local client misbehaves, against a program that
// already serves https://localhost:9009/ (started by hostile_clients.sh with the scripted
// signer). One scenario per run:
//
//   hostile_clients CA_FILE stalled|trickled|heads|idle [SECONDS]
//
//   stalled   a POST declares 1 MiB, sends 10 bytes and goes silent
//   trickled  a POST declares 1 MiB and sends 4 bytes every 0.5 s
//   heads     80 HEAD requests, each on its own connection, sent and closed in a row
//   idle      200 connections finish the TLS handshake and send nothing
//
// Meanwhile, for SECONDS (default 8), a checkLs on a new connection every 200 ms (2 s
// timeout each) and, after 1 s, one getDocSign of a 1 MiB body (15 s timeout). Prints one
// line: checkLs answered, their median and slowest time, the getDocSign time, and when the
// misbehaving client was let go.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/base64.h"
#include "tests/client/tls_client.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using vemo::test::TlsClient;
using vemo::test::TlsClientOptions;

constexpr uint16_t kPort = 9009;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::unique_ptr<TlsClient> Connect(const std::filesystem::path& ca,
                                   std::chrono::milliseconds timeout) {
  return std::make_unique<TlsClient>(kPort, ca, TlsClientOptions{.timeout = timeout});
}

// One request on a fresh connection; its time, or nothing when it was not answered in time.
std::optional<Clock::duration> Timed(const std::filesystem::path& ca, const std::string& request,
                                     std::chrono::milliseconds timeout) {
  const auto sent = Clock::now();
  auto client = Connect(ca, timeout);
  if (!client->error().empty() || !client->Send(request)) return std::nullopt;
  const auto reply = client->ReadReply(timeout);
  if (!reply || reply->body.find(R"("status":"OK")") == std::string::npos) return std::nullopt;
  return Clock::now() - sent;
}

// Whether the server let the client go, and when, watched on a thread of its own.
struct Watch {
  std::future<std::optional<Clock::duration>> ended;
  static Watch On(TlsClient& client, Clock::time_point began, Clock::duration at_most) {
    return {std::async(std::launch::async, [&client, began, at_most] {
      const auto left = at_most - (Clock::now() - began);
      if (client.ClosedByServer(std::chrono::duration_cast<std::chrono::milliseconds>(left))) {
        return std::optional<Clock::duration>(Clock::now() - began);
      }
      return std::optional<Clock::duration>();
    })};
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s CA_FILE stalled|trickled|heads|idle [SECONDS]\n", argv[0]);
    return 2;
  }
  const std::filesystem::path ca = argv[1];
  const std::string scenario = argv[2];
  const auto period = std::chrono::seconds(argc > 3 ? std::atoi(argv[3]) : 8);
  const std::string slow_head =
      "POST /?action=getDocSign HTTP/1.1\r\nHost: localhost\r\nContent-Length: 1048576\r\n\r\n";

  // The misbehaving client(s).
  std::vector<std::unique_ptr<TlsClient>> held;
  std::string note;
  std::optional<Watch> watch;
  std::future<Clock::duration> trickler;
  std::atomic<bool> stop{false};
  const auto began = Clock::now();
  if (scenario == "stalled" || scenario == "trickled") {
    held.push_back(Connect(ca, 30s));
    if (!held.back()->error().empty() ||
        !held.back()->Send(slow_head + (scenario == "stalled" ? "0123456789" : ""))) {
      std::fprintf(stderr, "cannot start the slow client: %s\n", held.back()->error().c_str());
      return 1;
    }
    if (scenario == "stalled") {
      watch = Watch::On(*held.back(), began, period + 2s);
    } else {
      TlsClient& slow = *held.back();
      trickler = std::async(std::launch::async, [&slow, &stop, began] {
        while (!stop && slow.Send("QUJD")) std::this_thread::sleep_for(500ms);
        return Clock::now() - began;
      });
    }
  } else if (scenario == "heads") {
    for (int i = 0; i < 80; ++i) {
      auto client = Connect(ca, 2s);
      if (client->error().empty()) client->Send("HEAD / HTTP/1.1\r\nHost: localhost\r\n\r\n");
      client->Close();
    }
    note = "80 sent and closed in " + std::to_string(static_cast<int>(Ms(Clock::now() - began))) +
           " ms";
  } else if (scenario == "idle") {
    int connected = 0;
    for (int i = 0; i < 200; ++i) {
      held.push_back(Connect(ca, 2s));
      connected += held.back()->error().empty() ? 1 : 0;
    }
    note = std::to_string(connected) + " of 200 connected";
  } else {
    std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
    return 2;
  }

  // The others.
  const std::string document = vemo::Base64Encode(std::string(768 * 1024, 'd'));
  auto signing = std::async(std::launch::async, [&] {
    std::this_thread::sleep_for(1s);
    return Timed(ca, vemo::test::PostRequest("/?action=getDocSign", document), 15s);
  });
  std::vector<double> checks;
  int attempts = 0;
  const auto others_began = Clock::now();
  while (Clock::now() - others_began < period) {
    const auto next = Clock::now() + 200ms;
    ++attempts;
    if (const auto took = Timed(ca, vemo::test::GetRequest("/?action=checkLs"), 2s)) {
      checks.push_back(Ms(*took));
    }
    std::this_thread::sleep_until(next);
  }
  const auto signed_in = signing.get();

  std::string ended = note;
  if (watch) {
    const auto at = watch->ended.get();
    ended = at ? "let go after " + std::to_string(Ms(*at) / 1000).substr(0, 4) + " s"
               : "still held after " + std::to_string(period.count() + 2) + " s";
  }
  if (trickler.valid()) {
    stop = true;
    const auto lasted = trickler.get();
    ended = lasted < period
                ? "let go after " + std::to_string(Ms(lasted) / 1000).substr(0, 4) + " s"
                : "still held after " + std::to_string(period.count()) + " s";
  }
  std::sort(checks.begin(), checks.end());
  char line[256];
  std::snprintf(line, sizeof line,
                "%-9s | checkLs %3d/%-3d | p50 %8.1f ms | max %8.1f ms | getDocSign %s | %s",
                scenario.c_str(), static_cast<int>(checks.size()), attempts,
                checks.empty() ? 0.0 : checks[checks.size() / 2],
                checks.empty() ? 0.0 : checks.back(),
                signed_in ? (std::to_string(Ms(*signed_in)).substr(0, 6) + " ms").c_str()
                          : "no reply in 15 s",
                ended.c_str());
  std::puts(line);
  return 0;
}
