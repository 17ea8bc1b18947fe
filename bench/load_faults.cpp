// Load and faults against a program that serves https://localhost:9009/ (started afresh for
// each scenario by load_faults.sh, with the scripted fake signer). One scenario per run:
//
//   load_faults CA_FILE PID DATA_FOLDER FAKE_DIR SCENARIO
//
//   idle        200 connections finish the TLS handshake and send nothing for 4 s, then each
//               asks for checkLs
//   keepalive   64 clients at once, each 50 checkLs over its own keep-alive connection
//   handshake   connections that close before the handshake (TCP only, also with a reset),
//               during it (half a ClientHello, a whole one) and right after it; one that sends
//               half a ClientHello and stays
//   trickle     a header sent one byte a second, and a body sent one byte a second
//   huge        a header past the 64 KiB limit, a declared 10 GiB body, a Content-Length past
//               2^64, a chunk of 10 GiB
//   gone        clients that leave in the middle of their header or body, or right after
//               sending a whole getDocSign
//   files       the data folder and the event log taken away or spoilt while requests come,
//               then put back
//   codes       the fake signer answering every code of the Avest range and others, at login
//               and at signing, and signatures of impossible lengths
//   enigma      the same through the Enigma provider, its password typed beforehand
//
// Meanwhile a well-behaved client asks for checkLs on a new connection every 100 ms and posts
// a getDocSign of a 48 KiB document every second (not in "codes" and "enigma", where the
// signer's answers are scripted). Every request has a timeout; one still unanswered then is a hang,
// one whose connection the program closed without a reply is lost, unless the scenario's client
// made it so (closed first, stalled, sent an incomplete request).
//
// Prints the details on stderr, and on stdout two lines: the cells of a Markdown row
//   | sent | answered | unanswered by design | lost | hangs | well-behaved | alive | VmRSS |
//   threads |
// and a note on what was seen.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/base64.h"
#include "tests/client/tls_client.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using vemo::test::GetRequest;
using vemo::test::PostRequest;
using vemo::test::RawReply;
using vemo::test::TlsClient;
using vemo::test::TlsClientOptions;

constexpr uint16_t kPort = 9009;
constexpr auto kTimeout = 10s;  // for any one request of a scenario's client

fs::path ca;
pid_t program = 0;
fs::path data_folder;
fs::path fake_dir;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void Detail(const char* format, ...) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  va_list args;
  va_start(args, format);
  std::fputs("  ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// VmRSS (KiB), Threads and the real user of the program, from /proc/PID/status.
struct Status {
  long rss_kib = -1;
  long threads = -1;
  long uid = -1;
};

Status ReadStatus() {
  Status status;
  std::ifstream file("/proc/" + std::to_string(program) + "/status");
  std::string line;
  while (std::getline(file, line)) {
    if (line.starts_with("VmRSS:")) status.rss_kib = std::strtol(line.c_str() + 6, nullptr, 10);
    if (line.starts_with("Threads:")) status.threads = std::strtol(line.c_str() + 8, nullptr, 10);
    if (line.starts_with("Uid:")) status.uid = std::strtol(line.c_str() + 4, nullptr, 10);
  }
  return status;
}

// The reply body as the page reads it: a JSON object with "status":"OK".
std::optional<nlohmann::json> JsonReply(const RawReply& reply) {
  if (!reply.status_line.starts_with("HTTP/1.1 200")) return std::nullopt;
  auto json = nlohmann::json::parse(reply.body, nullptr, false);
  if (!json.is_object() || json.value("status", "") != "OK") return std::nullopt;
  return json;
}

std::unique_ptr<TlsClient> Connect(std::chrono::milliseconds timeout = kTimeout) {
  return std::make_unique<TlsClient>(kPort, ca, TlsClientOptions{.timeout = timeout});
}

enum class Outcome { kAnswered, kClosed, kTimedOut };

// What the program did with one complete request.
struct Asked {
  Outcome outcome = Outcome::kClosed;
  RawReply reply;
  Clock::duration took{};
};

// The request on the client's connection; the reply must be whole within the timeout.
Asked AskOn(TlsClient& client, const std::string& request,
            std::chrono::milliseconds timeout = kTimeout) {
  Asked asked;
  const auto sent = Clock::now();
  if (!client.error().empty() || !client.Send(request)) return asked;
  if (auto reply = client.ReadReply(timeout)) {
    asked = {Outcome::kAnswered, std::move(*reply), Clock::now() - sent};
  } else {
    // Nothing whole in time: a hang unless the program closed the connection by then.
    const bool over = Clock::now() - sent >= timeout;
    asked.outcome = over ? Outcome::kTimedOut : Outcome::kClosed;
  }
  return asked;
}

// The request on a new connection, the handshake counted in its time.
Asked Ask(const std::string& request, std::chrono::milliseconds timeout = kTimeout) {
  const auto began = Clock::now();
  auto client = Connect(timeout);
  if (!client->error().empty()) {
    const bool over = Clock::now() - began >= timeout;
    return {over ? Outcome::kTimedOut : Outcome::kClosed, {}, {}};
  }
  Asked asked = AskOn(*client, request, timeout);
  asked.took = Clock::now() - began;
  return asked;
}

// Counts of one scenario's own clients.
struct Tally {
  std::atomic<int> sent{0}, answered{0}, by_design{0}, lost{0}, hangs{0};

  // A complete request that should get a reply; the check tells whether it is the right one.
  void Expect(const Asked& asked, const std::string& what,
              const std::function<bool(const RawReply&)>& right = {}) {
    ++sent;
    switch (asked.outcome) {
      case Outcome::kAnswered:
        if (!right || right(asked.reply)) {
          ++answered;
        } else {
          ++lost;
          Detail("WRONG REPLY to %s: %s | %s", what.c_str(), asked.reply.status_line.c_str(),
                 asked.reply.body.c_str());
        }
        return;
      case Outcome::kClosed:
        ++lost;
        Detail("LOST: %s, connection closed without a reply", what.c_str());
        return;
      case Outcome::kTimedOut:
        ++hangs;
        Detail("HANG: %s, no reply in %.0f s", what.c_str(), Seconds(kTimeout));
        return;
    }
  }
  // A request the client itself left incomplete or abandoned.
  void Abandoned(int count = 1) {
    sent += count;
    by_design += count;
  }
};

bool IsJsonOk(const RawReply& reply) { return JsonReply(reply).has_value(); }

// A well-behaved page beside the scenario: checkLs on a new connection every 100 ms, a
// getDocSign of a 48 KiB document every second.
class WellBehaved {
 public:
  explicit WellBehaved(bool with_signing) : with_signing_(with_signing) {
    thread_ = std::thread([this] { Run(); });
  }
  ~WellBehaved() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::string Summary() const {
    std::vector<double> sorted = times_;
    std::sort(sorted.begin(), sorted.end());
    if (sorted.empty()) return Format("0 of %d", asked_);
    return Format("%zu of %d, %.1f / %.1f ms", sorted.size(), asked_, sorted[sorted.size() / 2],
                  sorted.back());
  }
  int lost = 0, hangs = 0;

 private:
  void Run() {
    const std::string document = vemo::Base64Encode(std::string(48 * 1024, 'd'));
    for (int round = 0; !stop_; ++round) {
      const auto next = Clock::now() + 100ms;
      const bool signing = with_signing_ && round % 10 == 5;
      const Asked asked = Ask(
          signing ? PostRequest("/?action=getDocSign", document) : GetRequest("/?action=checkLs"),
          5s);
      ++asked_;
      if (asked.outcome == Outcome::kAnswered && IsJsonOk(asked.reply)) {
        times_.push_back(Ms(asked.took));
      } else if (asked.outcome == Outcome::kTimedOut) {
        ++hangs;
        Detail("HANG: the well-behaved client's %s, no reply in 5 s",
               signing ? "getDocSign" : "checkLs");
      } else {
        ++lost;
        Detail("LOST: the well-behaved client's %s: %s", signing ? "getDocSign" : "checkLs",
               asked.reply.body.c_str());
      }
      std::this_thread::sleep_until(next);
    }
  }
  const bool with_signing_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<double> times_;
  int asked_ = 0;
};

// A plain TCP connection to the port, blocking, or -1.
int TcpConnect() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(kPort);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    return fd;
  }
  if (fd >= 0) ::close(fd);
  return -1;
}

// Closes with a reset instead of a FIN.
void Reset(int fd) {
  const linger abort_close{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_close, sizeof abort_close);
  ::close(fd);
}

// The bytes of a client's first handshake message, as OpenSSL's client would send them.
std::string ClientHello() {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(context);
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl, in, out);
  SSL_set_tlsext_host_name(ssl, "localhost");
  SSL_set_connect_state(ssl);
  SSL_do_handshake(ssl);  // wants the server's answer; the hello is written by then
  char* bytes = nullptr;
  const long size = BIO_get_mem_data(out, &bytes);
  std::string hello(bytes, static_cast<size_t>(size));
  SSL_free(ssl);
  SSL_CTX_free(context);
  return hello;
}

bool SendRaw(int fd, std::string_view bytes) {
  return ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Waits until the program closes the raw connection; its time, or nothing within at_most.
std::optional<Clock::duration> RawClosedWithin(int fd, Clock::time_point since,
                                               Clock::duration at_most) {
  timeval slice{0, 200'000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
  char byte;
  while (Clock::now() - since < at_most) {
    const ssize_t n = ::recv(fd, &byte, 1, 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return Clock::now() - since;
  }
  return std::nullopt;
}

// ---- the scenarios: each fills the tally and returns its note -----------------------------

std::string Idle(Tally& tally) {
  std::vector<std::unique_ptr<TlsClient>> held;
  int connected = 0;
  for (int i = 0; i < 200; ++i) {
    held.push_back(Connect(5s));
    connected += held.back()->error().empty() ? 1 : 0;
  }
  Detail("%d of 200 connections finished the handshake; they idle 4 s", connected);
  std::this_thread::sleep_for(4s);
  for (auto& client : held) {
    tally.Expect(AskOn(*client, GetRequest("/?action=checkLs")), "checkLs on an idle connection",
                 IsJsonOk);
  }
  return Format("%d of 200 handshakes done; each asked after 4 s idle", connected);
}

std::string KeepAlive(Tally& tally) {
  constexpr int kClients = 64, kRequests = 50;
  std::vector<std::thread> clients;
  std::vector<std::vector<double>> times(kClients);
  const auto began = Clock::now();
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      auto client = Connect();
      for (int r = 0; r < kRequests; ++r) {
        const Asked asked = AskOn(*client, GetRequest("/?action=checkLs"));
        tally.Expect(asked, "keep-alive checkLs", IsJsonOk);
        if (asked.outcome != Outcome::kAnswered) {
          client = Connect();  // the rest on a new connection
        } else {
          times[c].push_back(Ms(asked.took));
        }
      }
    });
  }
  for (auto& thread : clients) thread.join();
  const double took = Seconds(Clock::now() - began);
  std::vector<double> all;
  for (const auto& some : times) all.insert(all.end(), some.begin(), some.end());
  std::sort(all.begin(), all.end());
  const double p50 = all.empty() ? 0 : all[all.size() / 2];
  const double max = all.empty() ? 0 : all.back();
  Detail("%zu answered in %.1f s (%.0f/s); each request p50 %.1f ms, slowest %.1f ms", all.size(),
         took, static_cast<double>(all.size()) / took, p50, max);
  return Format("%.0f requests/s; their p50 %.1f ms, slowest %.1f ms",
                static_cast<double>(all.size()) / took, p50, max);
}

std::string Handshakes(Tally& tally) {
  const std::string hello = ClientHello();
  // One stays with half a ClientHello: the handshake timeout should end it.
  const int staying = TcpConnect();
  const auto stayed_from = Clock::now();
  if (staying < 0 || !SendRaw(staying, std::string_view(hello).substr(0, hello.size() / 2))) {
    Detail("cannot start the client that stays");
  }

  constexpr int kEach = 40;
  int failed = 0;
  for (int i = 0; i < kEach; ++i) {
    if (int fd = TcpConnect(); fd >= 0)
      ::close(fd);
    else
      ++failed;
    if (int fd = TcpConnect(); fd >= 0)
      Reset(fd);
    else
      ++failed;
    if (int fd = TcpConnect(); fd >= 0) {
      SendRaw(fd, std::string_view(hello).substr(0, hello.size() / 2));
      ::close(fd);
    } else {
      ++failed;
    }
    if (int fd = TcpConnect(); fd >= 0) {
      SendRaw(fd, hello);
      ::close(fd);
    } else {
      ++failed;
    }
    if (int fd = TcpConnect(); fd >= 0) {
      SendRaw(fd, hello);
      Reset(fd);
    } else {
      ++failed;
    }
    auto client = Connect();
    failed += client->error().empty() ? 0 : 1;
    client->Close(i % 2 == 0);  // with a close_notify or without
  }
  tally.Abandoned(6 * kEach);
  Detail(
      "%d connections: TCP closed, TCP reset, half a ClientHello, a whole ClientHello then "
      "closed, then reset, a finished handshake then closed (%d each); %d could not connect",
      6 * kEach, kEach, failed);
  const auto staying_ended =
      staying < 0 ? std::nullopt : RawClosedWithin(staying, stayed_from, 15s);
  if (staying >= 0) ::close(staying);
  const std::string stayed = staying_ended ? Format("let go after %.1f s", Seconds(*staying_ended))
                                           : std::string("still held after 15 s");
  Detail("the client with half a ClientHello that stays: %s", stayed.c_str());
  return Format("%d connections, none with a request; half a hello that stays: %s", 6 * kEach,
                stayed.c_str());
}

// Sends the bytes one a second until the program closes the connection; its time, or nothing
// when all bytes went out (or 20 s passed) with the connection still open.
std::optional<Clock::duration> Trickle(TlsClient& client, const std::string& bytes,
                                       Clock::time_point since) {
  for (char byte : bytes) {
    if (!client.Send(std::string(1, byte))) return Clock::now() - since;
    if (client.ClosedByServer(1000ms)) return Clock::now() - since;
    if (Clock::now() - since > 20s) break;
  }
  return std::nullopt;
}

std::string Trickled(Tally& tally) {
  const std::string header = GetRequest("/?action=checkLs");
  const std::string body_head =
      "POST /?action=getDocSign HTTP/1.1\r\nHost: localhost:9009\r\nContent-Length: 100\r\n\r\n";
  std::optional<Clock::duration> header_ended, body_ended;
  const auto began = Clock::now();
  std::thread header_thread([&] {
    auto client = Connect();
    header_ended = Trickle(*client, header, began);
  });
  std::thread body_thread([&] {
    auto client = Connect();
    client->Send(body_head);
    body_ended = Trickle(*client, std::string(100, 'A'), began);
  });
  header_thread.join();
  body_thread.join();
  tally.Abandoned(2);
  auto when = [](const std::optional<Clock::duration>& at) {
    return at ? Format("let go after %.1f s", Seconds(*at)) : std::string("never let go in 20 s");
  };
  const std::string note =
      "header trickler " + when(header_ended) + ", body trickler " + when(body_ended);
  Detail("%s", note.c_str());
  return note;
}

// The reply's status line starts so, and the program then closes the connection.
std::function<bool(const RawReply&)> StatusAndClose(TlsClient& client, std::string status) {
  return [&client, status](const RawReply& reply) {
    return reply.status_line.starts_with(status) && client.ClosedByServer(5s);
  };
}

std::string Huge(Tally& tally) {
  const std::string one_big = "X-Big: " + std::string(100 * 1024, 'x') + "\r\n";
  std::string many;  // 3000 headers of 36 bytes
  for (int i = 0; i < 3000; ++i) many += Format("X-Many-%04d: %020d\r\n", i, i);
  for (const std::string& extra : {one_big, many}) {
    for (int i = 0; i < 3; ++i) {
      auto client = Connect();
      tally.Expect(AskOn(*client, GetRequest("/?action=checkLs", extra)), "header past the limit",
                   StatusAndClose(*client, "HTTP/1.1 431"));
    }
  }
  // Declared bodies larger than the program takes: it answers from the header.
  for (const char* length : {"10737418240", "67108865"}) {
    for (int i = 0; i < 3; ++i) {
      auto client = Connect();
      const std::string request =
          "POST /?action=getDocSign HTTP/1.1\r\nHost: localhost:9009\r\n"
          "Content-Length: " +
          std::string(length) + "\r\n\r\nQUJD";
      tally.Expect(AskOn(*client, request), Format("getDocSign declaring %s bytes", length),
                   [&client](const RawReply& reply) {
                     const auto json = JsonReply(reply);
                     return json && json->contains("error") && client->ClosedByServer(5s);
                   });
    }
  }
  // A Content-Length the parser cannot hold: 400 and closed.
  for (int i = 0; i < 3; ++i) {
    auto client = Connect();
    const std::string request =
        "POST /?action=getDocSign HTTP/1.1\r\nHost: localhost:9009\r\n"
        "Content-Length: 99999999999999999999\r\n\r\nQUJD";
    tally.Expect(AskOn(*client, request), "Content-Length past 2^64",
                 StatusAndClose(*client, "HTTP/1.1 400"));
  }
  // A chunk of 10 GiB of which 4 bytes come: the body is then too slow, and ends alone.
  std::vector<double> closed_after;
  for (int i = 0; i < 3; ++i) {
    auto client = Connect();
    const auto sent = Clock::now();
    const Asked asked = AskOn(*client,
                              "POST /?action=getDocSign HTTP/1.1\r\nHost: localhost:9009\r\n"
                              "Transfer-Encoding: chunked\r\n\r\n280000000\r\nQUJD",
                              15s);
    tally.Abandoned();
    if (asked.outcome == Outcome::kAnswered) {
      Detail("a 10 GiB chunk was answered: %s %s", asked.reply.status_line.c_str(),
             asked.reply.body.c_str());
    } else if (asked.outcome == Outcome::kTimedOut) {
      ++tally.hangs;
      --tally.by_design;
      Detail("HANG: a 10 GiB chunk: neither reply nor close in 15 s");
    } else {
      closed_after.push_back(Seconds(Clock::now() - sent));
    }
  }
  const double slowest =
      closed_after.empty() ? 0 : *std::max_element(closed_after.begin(), closed_after.end());
  Detail(
      "a chunk of 10 GiB, 4 bytes sent: %zu of 3 connections closed without a reply, the "
      "last after %.1f s",
      closed_after.size(), slowest);
  return Format(
      "431 for 6 headers > 64 KiB; JSON error for 10 GiB and 64 MiB + 1 declared; "
      "400 for 20 digits; a 10 GiB chunk closed without reply (%zu of 3, after %.1f s)",
      closed_after.size(), slowest);
}

std::string Gone(Tally& tally) {
  const std::string document = vemo::Base64Encode(std::string(48 * 1024, 'g'));
  const std::string whole = PostRequest("/?action=getDocSign", document);
  constexpr int kEach = 10;
  for (int i = 0; i < kEach; ++i) {
    // In the middle of its header.
    auto client = Connect();
    client->Send(whole.substr(0, 30));
    client->Close(i % 2 == 0);
    // In the middle of a body declared as 1 MiB, after 256 KiB.
    client = Connect();
    client->Send(
        "POST /?action=getDocSign HTTP/1.1\r\nHost: localhost:9009\r\n"
        "Content-Length: 1048576\r\n\r\n" +
        std::string(256 * 1024, 'A'));
    client->Close(i % 2 == 0);
    // In the middle of a chunked body.
    client = Connect();
    client->Send(
        "POST /?action=getDocSign HTTP/1.1\r\nHost: localhost:9009\r\n"
        "Transfer-Encoding: chunked\r\n\r\n10000\r\n" +
        std::string(1000, 'A'));
    client->Close(i % 2 == 0);
    // Right after a whole request, before the reply.
    client = Connect();
    client->Send(whole);
    client->Close(i % 2 == 0);
  }
  tally.Abandoned(4 * kEach);
  // Whoever comes next is served.
  for (int i = 0; i < 5; ++i) {
    tally.Expect(Ask(whole), "getDocSign after the ones that left", IsJsonOk);
  }
  std::this_thread::sleep_for(1s);
  int cut_short = 0;
  std::ifstream log(data_folder / "Vemo_Server_Crypt_Z.log");
  for (std::string line; std::getline(log, line);) {
    cut_short += line.find("Request data cut short") != std::string::npos ? 1 : 0;
  }
  Detail(
      "%d clients left (%d each in the header, the body, a chunked body, before the reply); "
      "the event log has %d entries \"Request data cut short\"",
      4 * kEach, kEach, cut_short);
  return Format(
      "%d left mid-header, mid-body, mid-chunk, before the reply; %d logged as cut "
      "short",
      4 * kEach, cut_short);
}

// ---- files: the data folder and the event log spoilt while the program runs ----------------

// What the event log holds, the rotated file too.
uintmax_t LogBytes() {
  uintmax_t total = 0;
  for (const char* name : {"Vemo_Server_Crypt_Z.log", "Vemo_Server_Crypt_Z.log1"}) {
    struct stat st {};
    if (::lstat((data_folder / name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      total += static_cast<uintmax_t>(st.st_size);
    }
  }
  return total;
}

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) Detail("failed: %s", command.c_str());
}

struct FileFault {
  const char* what;
  std::string spoil;  // shell commands, in the data folder's parent
  std::string restore;
};

bool Signed(const RawReply& reply) {
  const auto json = JsonReply(reply);
  return json && json->contains("sign");
}

std::string Files(Tally& tally) {
  const long uid = ReadStatus().uid;
  const std::string owner = std::to_string(uid);
  const std::string log = "Vemo_Server_Crypt_Z.log";
  const std::string folder = data_folder.filename().string();
  const std::string f = folder + "/", l = f + log;
  // Each spoiling step is one rename where the program could otherwise come in between: the
  // well-behaved client's requests write entries all the time.
  const std::vector<FileFault> faults = {
      {"data folder deleted", "mv " + folder + " gone && rm -rf gone",
       "mkdir -m 700 " + folder + " && chown " + owner + " " + folder},
      {"log file deleted", "rm " + l, ""},
      {"log file read-only (0400)", "chmod 400 " + l, "chmod 600 " + l},
      {"log file replaced by a directory",
       "until mkdir " + l + " 2>/dev/null; do rm -f " + l + "; done", "rmdir " + l},
      {"data folder replaced by a file", "mv " + folder + " away && echo x >" + folder,
       "rm " + folder + " && mv away " + folder},
      {"data folder read-only (0500), log file deleted", "chmod 500 " + folder + " && rm " + l,
       "chmod 700 " + folder},
      {"log file a link to /dev/full", "ln -s /dev/full " + f + "new && mv -T " + f + "new " + l,
       "rm " + l},
      {"log file a named pipe",
       "mkfifo -m 600 " + f + "new && chown " + owner + " " + f + "new && mv -T " + f + "new " + l,
       "rm " + l},
      {"log at 25 MiB, the rotated name a directory",
       "rm -f " + l + "1 && mkdir " + l + "1 && truncate -s 26214400 " + l, "rmdir " + l + "1"},
  };
  const std::string cd = "cd '" + data_folder.parent_path().string() + "' && ";
  const std::string document = vemo::Base64Encode(std::string(4096, 'f'));
  int wrote_during = 0, recovered = 0;
  for (const auto& fault : faults) {
    Run(cd + fault.spoil);
    const uintmax_t before = LogBytes();
    for (int i = 0; i < 3; ++i) {
      tally.Expect(Ask(GetRequest("/?action=checkLs")), std::string("checkLs, ") + fault.what,
                   IsJsonOk);
    }
    tally.Expect(Ask(PostRequest("/?action=getDocSign", document)),
                 std::string("getDocSign, ") + fault.what, Signed);
    const bool written = LogBytes() > before;
    if (!fault.restore.empty()) Run(cd + fault.restore);
    const uintmax_t restored = LogBytes();
    tally.Expect(Ask(GetRequest("/?action=checkLs")), std::string("checkLs after: ") + fault.what,
                 IsJsonOk);
    const bool back = LogBytes() > restored;
    wrote_during += written ? 1 : 0;
    recovered += back ? 1 : 0;
    Detail("%-48s log written meanwhile: %-3s  written again once put back: %s", fault.what,
           written ? "yes" : "no", back ? "yes" : "no");
  }
  struct stat rotated {};
  const bool rotated_now =
      ::stat((data_folder / (log + "1")).c_str(), &rotated) == 0 && rotated.st_size >= 26214400;
  Detail("after the last: the 25 MiB log %s", rotated_now ? "was rotated to .log1" : "stayed");
  const std::string as =
      uid == 0 ? "as root: the read-only modes bind nothing" : "program run as uid " + owner;
  return Format("%zu faults; log written during %d, again after %d of them; %s", faults.size(),
                wrote_during, recovered, as.c_str());
}

// ---- codes: every answer of the fake signer ----------------------------------------------

void Script(const std::string& text) {
  const fs::path temp = fake_dir / "script.new";
  std::ofstream(temp) << text;
  fs::permissions(temp, fs::perms(0644));
  fs::rename(temp, fake_dir / "script");
}

bool AvestRange(uint32_t code) { return code >= 0xE82A0100 && code <= 0xE82A0200; }

bool TokenError(uint32_t code) {
  return AvestRange(code) || code == 38 || code == 40 || code == 51 || code == 52 || code == 256 ||
         code == 0x0F05;
}

// A run of scripted answers over one keep-alive connection, a new one whenever the program
// closes it. Counts the error replies whose errorCode 222 (a token error) does not match the
// code.
struct ScriptedClient {
  Tally& tally;
  std::unique_ptr<TlsClient> client = Connect();
  int mismatched = 0;

  void Ask(const std::string& request, const std::string& what,
           const std::function<bool(const RawReply&)>& right) {
    const Asked asked = AskOn(*client, request);
    tally.Expect(asked, what, right);
    if (asked.outcome != Outcome::kAnswered) client = Connect();
  }

  std::function<bool(const RawReply&)> Failure(uint32_t code) {
    return [this, code](const RawReply& reply) {
      const auto json = JsonReply(reply);
      if (!json) return false;
      const bool error = json->contains("error") && (*json)["error"].is_string() &&
                         !(*json)["error"].get<std::string>().empty() && !json->contains("sign");
      const bool marked = json->value("errorCode", 0) == 222;
      if (error && marked != TokenError(code)) {
        ++mismatched;
        Detail("code %08X: errorCode %s: %s", code, marked ? "222" : "absent", reply.body.c_str());
      }
      return error;
    };
  }
};

// Any well-formed reply, shown in the details.
bool Shown(const RawReply& reply) {
  Detail("  -> %s", reply.body.c_str());
  return IsJsonOk(reply);
}

std::string Codes(Tally& tally) {
  std::vector<uint32_t> codes;
  for (uint32_t code = 0xE82A0100; code <= 0xE82A0200; ++code) codes.push_back(code);
  for (uint32_t code : {1u, 2u, 38u, 40u, 51u, 52u, 256u, 0x0F00u, 0x0F05u, 0xFF01u, 0xFF02u,
                        0xE82A00FFu, 0xE82A0201u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
    codes.push_back(code);
  }
  const std::string document = vemo::Base64Encode(std::string(1000, 'c'));
  ScriptedClient scripted{tally};
  auto ask = [&](const std::string& request, const std::string& what,
                 const std::function<bool(const RawReply&)>& right) {
    scripted.Ask(request, what, right);
  };
  for (const char* entry : {"AvCmLogin", "sign_Avest"}) {
    for (uint32_t code : codes) {
      Script(std::string(entry) + "=" + std::to_string(code) + "\n");
      // A login code needs a new login: the open one is dropped first. A signing code comes
      // with the login kept from the signing before.
      if (std::string_view(entry) == "AvCmLogin") {
        ask(GetRequest("/?action=forget"), "forget", IsJsonOk);
      }
      ask(PostRequest("/?action=getDocSign", document),
          Format("getDocSign, %s answers %08X", entry, code), scripted.Failure(code));
    }
  }
  // Signatures of lengths that do not fit, or of none.
  for (const char* length : {"-1", "0", "6144", "8193", "100000", "2147483647"}) {
    Script(std::string("sign_Avest.length=") + length + "\n");
    ask(PostRequest("/?action=getDocSign", document),
        Format("getDocSign, a signature of %s bytes", length), [length](const RawReply& reply) {
          Detail("a signature of %s bytes", length);
          return Shown(reply);
        });
  }
  // A forget before every signing, as a page may send at its logout: each signing logs in
  // anew, and each login has a keeper that ends it 60 s later.
  Script("");
  for (int i = 0; i < 50; ++i) {
    ask(GetRequest("/?action=forget"), "forget", IsJsonOk);
    ask(PostRequest("/?action=getDocSign", document), "getDocSign after a forget", IsJsonOk);
  }
  // The logout failing: forget still answers, and so does the next signing.
  Script("AvCmLogout=" + std::to_string(0xE82A0137u) + "\n");
  ask(GetRequest("/?action=forget"), "forget with a failing logout", IsJsonOk);
  ask(PostRequest("/?action=getDocSign", document), "getDocSign after a failing logout", IsJsonOk);
  Script("");
  ask(PostRequest("/?action=getDocSign", document), "getDocSign, the signer well again", Signed);
  Detail(
      "%zu codes at AvCmLogin and at sign_Avest, 6 signature lengths, 50 forgets each "
      "followed by a signing, a failing logout; errorCode 222 where not expected or missing: %d",
      codes.size(), scripted.mismatched);
  return Format(
      "%zu codes each at login and at signing, 6 signature lengths, 50 forget + sign, "
      "failing logout; "
      "errorCode mismatches: %d",
      codes.size(), scripted.mismatched);
}

// The Enigma provider, its password typed once by load_faults.sh: for 60 s every signing goes
// to sign_Enigma with the kept password, and the fake answers as scripted whatever it is.
std::string EnigmaCodes(Tally& tally) {
  const std::vector<uint32_t> codes = {38,         40,         51,        52,         256,
                                       0x0F05,     1,          2,         0xE82A0100, 0xE82A0137,
                                       0xE82A0200, 0x7FFFFFFF, 0xFFFFFFFF};
  const std::string document = vemo::Base64Encode(std::string(1000, 'e'));
  const std::string sign = PostRequest("/?action=getDocSign", document);
  const std::string any = "sign_Enigma.password=*\n";
  ScriptedClient scripted{tally};
  for (uint32_t code : codes) {
    Script(any + "sign_Enigma=" + std::to_string(code) + "\n");
    scripted.Ask(sign, Format("getDocSign, sign_Enigma answers %08X", code),
                 scripted.Failure(code));
  }
  // The signature file cut short, empty, or too long for the reply.
  Script(any + "sign_Enigma.truncate=0\n");
  scripted.Ask(sign, "getDocSign, the signature file cut", scripted.Failure(256));
  Script(any + "sign_Enigma.append=0\n");
  Detail("an empty signature file");
  scripted.Ask(sign, "getDocSign, an empty signature", Shown);
  Script(any + "sign_Enigma.append=7000\n");
  scripted.Ask(sign, "getDocSign, a signature of 7000 bytes", scripted.Failure(0x0F04));
  Script(any);
  scripted.Ask(sign, "getDocSign, the signer well again", Signed);
  Detail(
      "%zu codes at sign_Enigma, a cut, an empty and a too long signature; errorCode 222 "
      "where not expected or missing: %d",
      codes.size(), scripted.mismatched);
  return Format(
      "%zu codes at sign_Enigma with the kept password, cut / empty / too long "
      "signature; errorCode mismatches: %d",
      codes.size(), scripted.mismatched);
}

bool Alive() {
  if (::kill(program, 0) != 0) return false;
  const Asked asked = Ask(GetRequest("/?action=checkLs"), 5s);
  return asked.outcome == Outcome::kAnswered && IsJsonOk(asked.reply);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s CA_FILE PID DATA_FOLDER FAKE_DIR SCENARIO\n", argv[0]);
    return 2;
  }
  ca = argv[1];
  program = static_cast<pid_t>(std::atoi(argv[2]));
  data_folder = argv[3];
  fake_dir = argv[4];
  const std::string scenario = argv[5];
  const std::vector<std::pair<std::string, std::function<std::string(Tally&)>>> scenarios = {
      {"idle", Idle},        {"keepalive", KeepAlive}, {"handshake", Handshakes},
      {"trickle", Trickled}, {"huge", Huge},           {"gone", Gone},
      {"files", Files},      {"codes", Codes},         {"enigma", EnigmaCodes},
  };
  const auto found = std::find_if(scenarios.begin(), scenarios.end(),
                                  [&](const auto& entry) { return entry.first == scenario; });
  if (found == scenarios.end()) {
    std::fprintf(stderr, "unknown scenario %s\n", scenario.c_str());
    return 2;
  }

  const Status before = ReadStatus();
  Tally tally;
  WellBehaved others(scenario != "codes" && scenario != "enigma");
  std::this_thread::sleep_for(300ms);
  const std::string note = found->second(tally);
  std::this_thread::sleep_for(300ms);
  others.Stop();
  std::this_thread::sleep_for(1s);  // the program's side of the last connections settles
  const bool alive = Alive();
  const Status after = ReadStatus();

  std::printf("| %d | %d | %d | %d | %d | %s | %s | %ld → %ld | %ld → %ld |\n%s\n",
              tally.sent.load(), tally.answered.load(), tally.by_design.load(),
              tally.lost.load() + others.lost, tally.hangs.load() + others.hangs,
              others.Summary().c_str(), alive ? "yes" : "NO", before.rss_kib, after.rss_kib,
              before.threads, after.threads, note.c_str());
  return alive ? 0 : 1;
}
