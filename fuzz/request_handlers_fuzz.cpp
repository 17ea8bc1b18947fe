// The request handlers behind the server layer's interface: a server of our own hands one
// request at a time, with any verb, query, headers and body, to AnswerPreflight,
// HandleGetRequest or HandlePostRequest, with the providers started over the scripted outside
// modules (LD_LIBRARY_PATH=<build>/bin/fakes, as the service tests run). The body arrives in
// pieces of any size and may end as the server layer can end it: with the last piece, after
// it, with the client gone, or past the part too large to be kept.
//
// Properties: at most one reply a request; 0 exactly when the reply went out, otherwise the
// error of the send, of the body read, or 8; every reply is 200 OK with the service's headers
// and a JSON body the page can read ("status":"OK", only the documented keys); "checkLs",
// "version" and the other GET replies are the documented ones.
//
// Input: four control bytes, then text lines: the query (UTF-8; absent unless a control bit
// says so), the raw Content-Length, header lines "name:value" up to an empty line, and the
// body (the rest).
//   byte 0: handler (value % 3: preflight, GET, POST) and the verb number (value / 3 % 11)
//   byte 1: bits 0-1 provider (Avest, Enigma, Enigma2, none), 2 more body, 3 query present,
//           4 Content-Length present, 5 the send fails, 6-7 how the body ends
//   byte 2: piece size (0: as much as the buffer takes)
//   byte 3: the modules' answers: bits 0-2 sign_Avest's result, 3-4 the signature length,
//           5 the login fails, 6 the password typed (else the prompt is cancelled), 7 the
//           Enigma signer's result

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "platform/http_records.h"
#include "platform/http_server.h"
#include "providers/provider_start.h"
#include "service/request_handlers.h"
#include "support/base64.h"
#include "support/event_log.h"
#include "support/result_code.h"
#include "support/text_conversions.h"
#include "tests/fakes/fake_modules.h"
#include "tests/fakes/test_support.h"

namespace {

constexpr char kTarget[] = "request_handlers_fuzz";

using vemo::platform::HttpRequest;
using vemo::platform::HttpResponse;
using vemo::platform::RequestId;

void Check(bool holds, const std::string& what) {
  if (!holds) vemo::fuzz::Fail(kTarget, what);
}

// How the server layer ends a body.
enum class BodyEnd { kAfterLastPiece, kWithLastPiece, kClientGone, kNotKept };

// One request's worth of the server layer: its body in pieces and the replies sent for it.
class OneRequestServer : public vemo::platform::HttpServer {
 public:
  struct Script {
    RequestId id = 0;
    std::string_view body;
    size_t piece = 0;  // 0: as much as the buffer takes
    BodyEnd end = BodyEnd::kAfterLastPiece;
    uint32_t send_result = 0;
  };
  explicit OneRequestServer(Script script) : script_(script) {}

  uint32_t AddUrl(std::string_view) override { return 0; }
  uint32_t ReceiveRequest(RequestId, uint32_t, HttpRequest*, uint32_t*) override {
    vemo::fuzz::Fail(kTarget, "a handler asked for another request");
  }
  uint32_t ReceiveEntityBody(RequestId id, std::span<std::byte> buffer, uint32_t* bytes) override {
    Check(id == script_.id, "a body read for another request");
    Check(!replied_, "a body read after the reply");
    *bytes = 0;
    Check(!buffer.empty(), "a body read into no room");
    ++reads_;
    if (ended_) {
      // Past the end the layer keeps saying so.
      return last_error_;
    }
    size_t n = std::min(buffer.size(), script_.body.size() - offset_);
    if (script_.piece != 0) n = std::min(n, script_.piece);
    if (script_.end == BodyEnd::kClientGone && offset_ > 0)
      return End(vemo::kErrorConnectionInvalid);
    std::memcpy(buffer.data(), script_.body.data() + offset_, n);
    offset_ += n;
    *bytes = static_cast<uint32_t>(n);
    if (offset_ < script_.body.size()) return 0;
    switch (script_.end) {
      case BodyEnd::kWithLastPiece:
        return End(vemo::kErrorHandleEof);
      case BodyEnd::kNotKept:
        // The last kept piece comes as a piece; the next read finds nothing more kept.
        if (n != 0) return 0;
        return End(vemo::kErrorNotEnoughMemory);
      case BodyEnd::kClientGone:
        if (n != 0) return 0;
        return End(vemo::kErrorConnectionInvalid);
      default:
        if (n != 0) return 0;
        return End(vemo::kErrorHandleEof);
    }
  }
  uint32_t SendResponse(RequestId id, const HttpResponse& response) override {
    Check(id == script_.id, "a reply to another request");
    Check(!replied_, "a second reply to one request");
    replied_ = true;
    CheckReply(response);
    return script_.send_result;
  }
  void Terminate() override {}

  bool replied() const { return replied_; }
  uint32_t last_error() const { return last_error_; }
  int reads() const { return reads_; }
  const std::string& reply_body() const { return reply_body_; }

 private:
  uint32_t End(uint32_t error) {
    ended_ = true;
    last_error_ = error;
    return error;
  }

  void CheckReply(const HttpResponse& response) {
    Check(vemo::platform::IsWritableResponse(response), "a reply the server cannot write");
    Check(response.status_code == 200 && response.reason == "OK", "status line");
    Check(response.cache_control == "no-cache, no-store", "Cache-Control");
    Check(response.content_type == "application/json; charset=utf-8", "Content-Type");
    static const std::vector<std::pair<std::string, std::string>> kHeaders = {
        {"Access-Control-Allow-Headers", "Content-Type, option"},
        {"Access-Control-Allow-Credentials", "true"},
        {"Access-Control-Allow-Origin", "*"},
        {"Access-Control-Allow-Methods", "POST, GET, OPTIONS"},
    };
    Check(response.headers.size() == kHeaders.size(), "the cross-origin headers");
    for (size_t i = 0; i < kHeaders.size(); ++i) {
      Check(response.headers[i].name == kHeaders[i].first &&
                response.headers[i].value == kHeaders[i].second,
            "the cross-origin headers");
    }
    reply_body_ = std::string(response.body);
    const auto json = nlohmann::json::parse(reply_body_, nullptr, false);
    Check(json.is_object(), "a reply body that is not a JSON object: " + reply_body_);
    Check(json.value("status", "") == "OK", "a reply without \"status\":\"OK\"");
    static const std::set<std::string> kKeys = {"status",  "error", "errorCode",
                                                "version", "sign",  "tokenId"};
    for (const auto& [key, value] : json.items()) {
      Check(kKeys.count(key) == 1, "an undocumented key in the reply: " + key);
    }
    if (json.contains("errorCode")) Check(json["errorCode"] == 222, "errorCode");
    if (json.contains("sign")) {
      Check(json["sign"].is_string(), "sign");
      try {
        vemo::Base64Decode(json["sign"].get<std::string>());
      } catch (const std::exception&) {
        vemo::fuzz::Fail(kTarget, "a signature that is not Base64");
      }
    }
  }

  Script script_;
  size_t offset_ = 0;
  bool ended_ = false;
  uint32_t last_error_ = 0;
  bool replied_ = false;
  int reads_ = 0;
  std::string reply_body_;
};

// The token password dialog, answered at once as the input says.
class AnsweringPrompt : public vemo::PasswordPrompt {
 public:
  AnsweringPrompt() : PasswordPrompt([](std::function<void()> task) { task(); }) {}
  void set_password(std::optional<std::u16string> password) { password_ = std::move(password); }

 protected:
  void ShowDialog() override {
    Answer(password_ ? std::optional<vemo::SecretWide>(vemo::SecretWide(std::u16string(*password_)))
                     : std::nullopt);
  }
  void CloseDialog() override {}

 private:
  std::optional<std::u16string> password_;
};

// The window's side of a provider start.
class StartingHost : public vemo::ProviderHost {
 public:
  vemo::ServerStart StartServer() override {
    vemo::SetProcessCodePage(vemo::NarrowCodePage::kCp1251);
    ++started_;
    return vemo::ServerStart::kStarted;
  }
  bool ServerRunning() const override { return false; }
  void UpdateTrayIcon(int) override {}
  void SaveWindowData() override {}
  void SetProviderText(std::u16string) override {}
  std::optional<std::u16string> SelectedProviderEntry() const override { return std::nullopt; }
  void AddLogLine(std::u16string_view) override {}
  void AddUntimedLine(std::u16string_view) override {}
  void ShowMessageBox(std::u16string_view) override {}
  void EnableStopButton() override {}
  int started() const { return started_; }

 private:
  int started_ = 0;
};

struct World {
  std::filesystem::path home;
  std::unique_ptr<vemo::test::FakeModules> fakes;
  AnsweringPrompt prompt;
  std::unique_ptr<vemo::Providers> providers;
  std::string script;
  uint64_t inputs = 0;
};

World* world = nullptr;

void SetEnv(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }

std::string ModuleScript(uint8_t control) {
  static constexpr std::array<int64_t, 8> kSignResults = {0,
                                                          0,
                                                          0,
                                                          static_cast<int32_t>(0xE82A0115),
                                                          static_cast<int32_t>(0xE82A01FF),
                                                          static_cast<int32_t>(0xE82A0100),
                                                          1,
                                                          -1};
  static constexpr std::array<int, 4> kLengths = {64, 0, 9000, -5};
  std::string script = "sign_Avest=" + std::to_string(kSignResults[control & 7]) + "\n" +
                       "sign_Avest.length=" + std::to_string(kLengths[(control >> 3) & 3]) + "\n" +
                       "sign_Enigma.password=secret\n" +
                       "sign_Enigma=" + std::string((control & 0x80) != 0 ? "40" : "0") + "\n";
  if ((control & 0x20) != 0) script += "AvCmLogin=" + std::to_string(0xE82A014A) + "\n";
  return script;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char*** argv) {
  world = new World;
  world->home = vemo::fuzz::ScratchFolder(kTarget);
  SetEnv("HOME", world->home.string());
  SetEnv("XDG_CONFIG_HOME", (world->home / ".config").string());
  SetEnv("XDG_RUNTIME_DIR", (world->home / "run").string());
  std::filesystem::create_directories(world->home / "run");
  std::filesystem::permissions(world->home / "run", std::filesystem::perms::owner_all);
  // The fakes and the observer stand-in lie beside the fuzz target in the build tree.
  if (const char* bin = std::getenv("VEMO_TEST_BIN_DIR"); !bin || !*bin) {
    SetEnv("VEMO_TEST_BIN_DIR",
           std::filesystem::canonical("/proc/self/exe").parent_path().string());
  }
  (void)argv;
  world->fakes = std::make_unique<vemo::test::FakeModules>(world->home / "fakes");
  vemo::InitEventLog(world->home / ".config" / "Tramontel_Vemo_Server_Crypt");
  // Keepers end logins and passwords soon, so that their threads do not pile up.
  world->providers = std::make_unique<vemo::Providers>(
      world->prompt,
      vemo::ProviderTimings{std::chrono::milliseconds(50), std::chrono::milliseconds(200)});

  StartingHost host;
  world->providers->StartByName(vemo::kAvestName, host);
  if (host.started() != 1) {
    vemo::fuzz::Fail(kTarget,
                     "the Avest provider did not start: run with "
                     "LD_LIBRARY_PATH=<build>/bin/fakes");
  }
  {
    // The observer runs only while the Enigma provider looks for it; the folder it found
    // stays, and so does its sign program.
    vemo::test::FakeObserver observer(world->home / "enigma");
    world->providers->StartByName(vemo::kEnigmaName, host);
  }
  if (host.started() != 2) vemo::fuzz::Fail(kTarget, "the Enigma provider did not start");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::array<uint8_t, 4> control{};
  std::memcpy(control.data(), data, std::min<size_t>(size, 4));
  std::string_view text(reinterpret_cast<const char*>(data), size);
  text.remove_prefix(std::min<size_t>(size, 4));

  vemo::Providers& providers = *world->providers;
  // Each request starts without a token login or a remembered password.
  providers.avest().Forget();
  providers.enigma().Forget();
  if (++world->inputs % 4096 == 0) world->fakes->ClearCalls();
  if (std::string script = ModuleScript(control[3]); script != world->script) {
    world->script = script;
    std::filesystem::path file = world->home / "fakes" / "script";
    vemo::test::WriteFileBytes(file, script);
  }
  static constexpr std::array<std::u16string_view, 4> kProviders = {
      vemo::kAvestName, vemo::kEnigmaName, vemo::kEnigma2Name, u""};
  providers.active().Set(kProviders[control[1] & 3]);
  world->prompt.set_password((control[3] & 0x40) != 0 ? std::optional<std::u16string>(u"secret")
                                                      : std::nullopt);

  HttpRequest request;
  request.id = world->inputs;
  request.verb = static_cast<vemo::platform::HttpVerb>(control[0] / 3 % 11);
  request.more_entity_body = (control[1] & 0x04) != 0;
  // The query and Content-Length lines, then headers up to an empty line; the rest is the body.
  const auto next_line = [&text]() {
    const size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    return line;
  };
  const std::string_view query = next_line();
  const std::string_view content_length = next_line();
  if ((control[1] & 0x08) != 0) request.query = vemo::Utf8ToWide(query);
  if ((control[1] & 0x10) != 0) request.content_length = std::string(content_length);
  while (!text.empty()) {
    const std::string_view line = next_line();
    if (line.empty()) break;
    const size_t colon = line.find(':');
    request.unknown_headers.push_back(
        {std::string(line.substr(0, colon)),
         colon == std::string_view::npos ? "" : std::string(line.substr(colon + 1))});
  }
  const std::string_view body = text;

  OneRequestServer server(
      {.id = request.id,
       .body = request.more_entity_body ? body : std::string_view(),
       .piece = control[2],
       .end = static_cast<BodyEnd>(control[1] >> 6),
       .send_result = (control[1] & 0x20) != 0 ? vemo::kErrorConnectionInvalid : 0u});
  uint32_t result = 0;
  switch (control[0] % 3) {
    case 0:
      result = vemo::AnswerPreflight(server, request);
      break;
    case 1:
      result = vemo::HandleGetRequest(server, request, providers);
      break;
    default:
      result = vemo::HandlePostRequest(server, request, providers);
      break;
  }

  if (server.replied()) {
    Check(result == ((control[1] & 0x20) != 0 ? vemo::kErrorConnectionInvalid : 0u),
          "a sent reply gives the send's result");
  } else {
    // No reply only when the body could not be read whole.
    Check(result != 0, "no reply, yet 0");
    Check(result == server.last_error() || result == vemo::kErrorNotEnoughMemory,
          "no reply, and the error is neither the body read's nor 8: " + std::to_string(result));
    Check(server.last_error() != vemo::kErrorHandleEof, "no reply to a body read to its end");
  }
  if (server.replied() && control[0] % 3 == 1) {
    static const std::set<std::string> kGetReplies = {
        R"({"status":"OK"})", R"({"status":"OK","version":"2.3.2"})",
        R"({"error":"Ошибочный запрос","status":"OK"})"};
    Check(kGetReplies.count(server.reply_body()) == 1, "a GET reply: " + server.reply_body());
  }
  if (server.replied() && control[0] % 3 == 0) {
    Check(server.reply_body() == R"({"status":"OK"})", "the preflight reply");
  }
  return 0;
}
