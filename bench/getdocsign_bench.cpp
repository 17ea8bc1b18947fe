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
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/base64.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

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
    asio::io_context io;
    ssl::context context(ssl::context::tls_client);
    beast::ssl_stream<beast::tcp_stream> stream(io, context);
    for (int attempt = 0;; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (!std::filesystem::exists(ca)) continue;
      beast::error_code ec;
      tcp::resolver resolver(io);
      beast::get_lowest_layer(stream).connect(resolver.resolve("localhost", "9009"), ec);
      if (!ec) break;
      if (attempt > 50) throw std::runtime_error("the program does not listen");
    }
    context.load_verify_file(ca.string());
    stream.set_verify_mode(ssl::verify_peer);
    stream.set_verify_callback(ssl::host_name_verification("localhost"));
    SSL_set_tlsext_host_name(stream.native_handle(), "localhost");
    stream.handshake(ssl::stream_base::client);

    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const long idle = StatusKib(program, "VmRSS");
    std::printf("idle: %ld KiB resident\n", idle);
    std::printf("%-8s %-10s %10s %10s %10s %14s %10s\n", "body", "document", "p50 ms", "max ms",
                "min ms", "peak-idle KiB", "x body");
    std::mt19937 random(42);
    beast::flat_buffer buffer;
    for (const size_t body_size : {size_t{1024}, size_t{1} << 20, size_t{20} << 20}) {
      std::string document(body_size / 4 * 3, '\0');
      for (auto& byte : document) byte = static_cast<char>(random());
      http::request<http::string_body> request(http::verb::post, "/?action=getDocSign", 11);
      request.set(http::field::host, "localhost:9009");
      request.body() = vemo::Base64Encode(document);
      request.prepare_payload();
      std::vector<double> latencies;
      for (int i = 0; i < repeats; ++i) {
        const auto sent = Clock::now();
        http::write(stream, request);
        http::response<http::string_body> response;
        http::read(stream, buffer, response);
        latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
        if (response.body().rfind(R"({"sign":")", 0) != 0) {
          std::fprintf(stderr, "unexpected reply: %.200s\n", response.body().c_str());
          return 1;
        }
      }
      std::sort(latencies.begin(), latencies.end());
      const long peak = StatusKib(program, "VmHWM") - idle;
      std::printf("%-8zu %-10zu %10.2f %10.2f %10.2f %14ld %10.2f\n", request.body().size(),
                  document.size(), latencies[latencies.size() / 2], latencies.back(),
                  latencies.front(), peak,
                  static_cast<double>(peak) * 1024 / static_cast<double>(request.body().size()));
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
