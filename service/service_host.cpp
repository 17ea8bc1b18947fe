#include "service/service_host.h"

#include <chrono>
#include <string>

#include "platform/files.h"
#include "platform/ini_file.h"
#include "platform/server_certificate.h"
#include "service/request_handlers.h"
#include "service/startup.h"
#include "support/event_log.h"
#include "support/text_conversions.h"

namespace vemo {
namespace {

// The request loop starts with room for the request record and 2048 bytes of texts, and keeps
// any larger size the server asks for.
constexpr uint32_t kInitialReceiveBufferSize = platform::kRequestRecordSize + 2048;
// How long StopServer waits for the loop to answer the request it has and to notice the stop.
// A loop that is still busy then (a token that does not answer) is left to finish on its own.
constexpr auto kLoopStopWait = std::chrono::seconds(2);
// Stands for "the server certificate could not be made" in the start error line.
constexpr uint32_t kErrorInvalidData = 13;
constexpr size_t kTrayTipMaxChars = 127;

constexpr std::u16string_view kFirstLine =
    u"В настройках Вы можете изменить носитель по умолчанию при старте приложения";

std::u16string StartErrorLine(uint32_t error) {
  return u"Ошибка запуска сервера " + Utf8ToWide(std::to_string(error));
}

}  // namespace

struct SigningService::Loop {
  std::unique_ptr<platform::HttpServer> server;
  std::thread thread;
  std::mutex mutex;
  std::condition_variable changed_cv;
  bool busy = false;  // between taking a request and answering it
  bool ended = false;

  void SetBusy(bool value) {
    std::lock_guard lock(mutex);
    busy = value;
    changed_cv.notify_all();
  }
  // Until the loop waits for a request of its own (or has ended); false when time ran out.
  bool WaitIdle(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex);
    return changed_cv.wait_until(lock, deadline, [this] { return !busy || ended; });
  }
  bool WaitEnded(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex);
    return changed_cv.wait_until(lock, deadline, [this] { return ended; });
  }
  ~Loop() {
    if (thread.joinable()) thread.join();
  }
};

SigningService::SigningService(MainWindowView& view, Providers& providers, Options options)
    : view_(view), providers_(providers), options_(std::move(options)) {}

SigningService::~SigningService() {
  EndLoop();
  retired_loops_.clear();  // joins loops that were still busy with a request
}

ServerStart SigningService::StartServer() {
  SetProcessCodePage(NarrowCodePage::kCp1251);
  std::erase_if(retired_loops_, [](const auto& loop) { return loop->WaitEnded({}); });

  std::u16string line;
  std::filesystem::path folder = options_.certificate_folder;
  if (folder.empty()) folder = data_folder_.empty() ? platform::DataFolder() : data_folder_;
  platform::ServerCertificate certificate;
  std::string error;
  if (!platform::EnsureServerCertificate(folder, &certificate, &error)) {
    const std::u16string reason = Utf8ToWide(error);
    WriteEvent(u"Server certificate could not be created", std::u16string_view(reason),
               std::u16string_view(folder.u16string()), EventValueFormat::kText);
    view_.AddLogLine(StartErrorLine(kErrorInvalidData));
    return ServerStart::kFailed;
  }
  auto server = platform::HttpServer::Create(certificate.tls, options_.limits);
  const uint32_t rc = server ? server->AddUrl(options_.url) : kErrorNotEnoughMemory;
  if (rc == kErrorAlreadyExists) {
    // Another copy serves the address: this one tells the user and ends.
    server.reset();
    view_.ShowMessageBox(u"Уже запущена копия Vemo_Server_Crypt");
    view_.RemoveTrayIcon();
    Quit(0);
    return ServerStart::kProgramEnding;
  }
  if (rc != 0) {
    line = StartErrorLine(rc);
  } else {
    line = u"Vemo_Server_Crypt запущен: " + providers_.active().Get();
    auto loop = std::make_unique<Loop>();
    loop->server = std::move(server);
    Loop* raw = loop.get();
    providers_.prompt().Allow();
    loop->thread = std::thread([raw, this] {
      RequestLoop(*raw, providers_);
      std::lock_guard lock(raw->mutex);
      raw->ended = true;
      raw->changed_cv.notify_all();
    });
    loop_ = std::move(loop);
    server_running_ = true;
    view_.ShowServiceButtons(true);
  }
  view_.AddLogLine(line);
  return rc == 0 ? ServerStart::kStarted : ServerStart::kFailed;
}

uint32_t SigningService::RequestLoop(Loop& loop, Providers& providers) {
  platform::HttpServer& server = *loop.server;
  uint32_t buffer_size = kInitialReceiveBufferSize;
  platform::RequestId id = 0;
  for (;;) {
    platform::HttpRequest request;
    uint32_t bytes = 0;
    if (id == 0) loop.SetBusy(false);
    const uint32_t rc = server.ReceiveRequest(id, buffer_size, &request, &bytes);
    loop.SetBusy(true);
    if (rc == 0) {
      uint32_t result = 0;
      switch (request.verb) {
        case platform::HttpVerb::kOptions:
          result = AnswerPreflight(server, request);
          break;
        case platform::HttpVerb::kGet:
          result = HandleGetRequest(server, request, providers);
          break;
        case platform::HttpVerb::kPost:
          result = HandlePostRequest(server, request, providers);
          break;
        default:
          // Other verbs stay unanswered and unlogged.
          break;
      }
      if (result != 0) {
        WriteEvent(u"Response status", std::nullopt, static_cast<int32_t>(result),
                   EventValueFormat::kHex);
      }
      id = 0;
    } else if (rc == kErrorMoreData) {
      // The same request again, with room for it; the size stays for later requests.
      id = request.id;
      buffer_size = bytes;
    } else if (rc == kErrorConnectionInvalid && id != 0) {
      id = 0;  // the client left while the buffer was being enlarged
    } else {
      return rc;
    }
  }
}

void SigningService::EndLoop() {
  if (!loop_) return;
  // The request in hand is answered first (a cancelled prompt's 52 reaches its page), then the
  // pending receive fails and the port is free for the next start.
  const auto deadline = std::chrono::steady_clock::now() + kLoopStopWait;
  loop_->WaitIdle(deadline);
  loop_->server->Terminate();
  if (loop_->WaitEnded(deadline)) {
    loop_.reset();
  } else {
    retired_loops_.push_back(std::move(loop_));
  }
}

void SigningService::StopServer() {
  providers_.prompt().Refuse();
  if (!server_running_) return;
  if (providers_.active().Is(kAvestName)) providers_.avest().Unload();
  providers_.enigma().ClearCache();
  // The old loop's pending receive fails and the port is free for the next start.
  EndLoop();
  server_running_ = false;
  view_.ShowServiceButtons(false);
  providers_.active().Set(u"");
  view_.AddLogLine(u"Vemo_Server_Crypt остановлен");
  UpdateTrayIcon(0);
}

void SigningService::HandleProviderChange() {
  const std::u16string selected = provider_box_.SelectedText().value_or(u"");
  if (providers_.active().Is(selected)) return;
  StopServer();
  providers_.StartSelectedProvider(*this);
}

void SigningService::SelectProvider(size_t index) {
  if (!provider_box_.Select(index)) return;
  HandleProviderChange();
}

void SigningService::ShowSettings() {
  const std::filesystem::path settings =
      (data_folder_.empty() ? platform::DataFolder() : data_folder_) / kSettingsFileName;
  EnsureSettingsFile(settings);
  const std::optional<std::u16string> chosen =
      view_.RunSettingsDialog(default_provider_, providers_.active().Get());
  SaveWindowData();
  if (!chosen) {
    LoadWindowData();
    return;
  }
  default_provider_ = chosen->substr(0, kDefaultProviderBufferChars - 1);
  if (platform::WritePrivateProfileString(kSettingsSection, kDefaultProviderKey, default_provider_,
                                          settings)) {
    view_.AddLogLine(u"Настройки успешно изменены");
    LoadWindowData();
  } else {
    view_.AddUntimedLine(
        u"Не хватает прав для изменения настроек. Перезапустите от имени администратора");
  }
}

uint32_t SigningService::HandleSessionChange(uint32_t event, uint32_t session_id,
                                             uint32_t own_session, uint32_t console_session) {
  constexpr uint32_t kConsoleConnect = 1, kConsoleDisconnect = 2, kSessionLock = 7,
                     kSessionUnlock = 8;
  if (event == kConsoleConnect || event == kSessionUnlock) {
    if (console_session == own_session) providers_.StartSelectedProvider(*this);
  } else if (event == kConsoleDisconnect || event == kSessionLock) {
    if (session_id == own_session) StopServer();
  }
  return 0;
}

void SigningService::ExitApplication() {
  providers_.prompt().Refuse();
  if (server_running_ && provider_text_ == kAvestName) providers_.avest().Unload();
  view_.RemoveTrayIcon();
  Quit(0);
}

void SigningService::Quit(int code) {
  ending_ = true;
  if (options_.quit) options_.quit(code);
}

void SigningService::UpdateTrayIcon(int running) {
  std::u16string tip = running == 1 ? u"Vemo_Server_Crypt запущен: " + providers_.active().Get()
                                    : std::u16string(u"Vemo_Server_Crypt остановлен");
  if (tip.size() > kTrayTipMaxChars) tip.resize(kTrayTipMaxChars);
  SaveWindowData();
  view_.SetTrayIcon(running == 1, tip);
}

void SigningService::SaveWindowData() {
  provider_text_ = provider_box_.SelectedText().value_or(u"");
}

void SigningService::LoadWindowData() {
  if (provider_box_.SelectByPrefix(provider_text_)) view_.ShowProviderBox(provider_box_);
}

void SigningService::InitializeWindow() {
  view_.AddUntimedLine(kFirstLine);
  UpdateTrayIcon(0);
  data_folder_ = PrepareDataFolder();
  default_provider_ = LoadDefaultProvider(data_folder_);
  if (options_.register_session_notifications) options_.register_session_notifications();
  view_.ShowServiceButtons(false);
  provider_box_.Add(kAvestName);
  view_.ShowProviderBox(provider_box_);
  provider_list_.emplace_back(kAvestName);
  if (default_provider_.empty()) default_provider_ = provider_list_.front();
  providers_.StartByName(default_provider_, *this);
  if (ending_) return;
  if (provider_box_.SelectByPrefix(providers_.active().Get())) view_.ShowProviderBox(provider_box_);
  // The provider start saved the window's data before the box had a selection; saving once
  // more lets the program exit log out of the token that serves from the start.
  SaveWindowData();
}

}  // namespace vemo
