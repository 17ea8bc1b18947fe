#include "providers/enigma_provider.h"

#include <string.h>

#include <array>
#include <filesystem>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>

#include "platform/files.h"
#include "platform/outside_modules.h"
#include "platform/processes.h"
#include "providers/keeper_threads.h"
#include "providers/provider_start.h"
#include "providers/token_password.h"
#include "support/base64.h"
#include "support/event_catalogue.h"
#include "support/text_conversions.h"

namespace vemo {
namespace {

constexpr char kObserverExecutable[] = "MCardObserver.exe";
constexpr std::u16string_view kSignProgram = u"PacMcard/sign.exe";
constexpr char kSignTempName[] = "sign.tmp";
constexpr int32_t kLogExecResult = 64;
constexpr int kPasswordAttempts = 3;
// The narrow paths handed to sign_Enigma live in buffers of 256 bytes with their NUL.
constexpr size_t kNarrowPathLimit = 255;
constexpr size_t kPasswordCacheSize = 40;

std::filesystem::path PathOf(std::u16string_view wide) {
  return std::filesystem::path(WideToUtf8(wide));
}

}  // namespace

// EnigmaCacheLock: held by a signing around sign_Enigma with the cached password. A keeper
// that expires the cache takes it for good; that hold is the expired flag, set under the
// mutex, so that a keeper thread can end and every later signing still sees the cache
// expired until a new password is cached under a new lock.
struct CacheLock {
  std::timed_mutex mutex;
  bool expired = false;  // guarded by the provider's state mutex
};

// All state is guarded by mutex.
struct EnigmaProvider::Impl {
  Impl(ActiveProvider& active_provider, PasswordPrompt& password_prompt,
       ProviderTimings provider_timings)
      : active(active_provider), prompt(password_prompt), timings(provider_timings) {}
  ~Impl() { keepers.Stop(); }

  // Callers hold mutex.
  void WipePasswordCache() { ::explicit_bzero(password_cache.data(), password_cache.size()); }
  std::shared_ptr<CacheLock> Lock() {
    std::lock_guard guard(mutex);
    return cache_lock;
  }
  // EnigmaPasswordKeeper: expires the cached password after the keeper delay.
  void EnigmaPasswordKeeper();
  // Signs with the cached password when the cache is valid; nullopt when it is not.
  std::optional<int32_t> SignWithCache(const platform::Fcp& fcp, const std::string& folder,
                                       const std::string& temp);

  ActiveProvider& active;
  PasswordPrompt& prompt;
  const ProviderTimings timings;

  std::mutex mutex;
  std::u16string observer_folder;
  // nullopt when the folder does not fit in its narrow buffer.
  std::optional<std::string> observer_folder_narrow;
  std::array<char, kPasswordCacheSize> password_cache{};
  std::shared_ptr<CacheLock> cache_lock;
  bool keeper_active = false;

  KeeperThreads keepers;
};

void EnigmaProvider::Impl::EnigmaPasswordKeeper() {
  if (!keepers.SleepFor(timings.keeper_delay)) return;
  for (;;) {
    if (keepers.Stopping()) return;
    const auto lock = Lock();
    if (!lock) return;  // the service was stopped in the meantime
    if (lock->mutex.try_lock_for(kKeeperLockSlice)) {
      std::lock_guard held(lock->mutex, std::adopt_lock);
      std::lock_guard guard(mutex);
      WipePasswordCache();
      lock->expired = true;
      return;
    }
  }
}

std::optional<int32_t> EnigmaProvider::Impl::SignWithCache(const platform::Fcp& fcp,
                                                           const std::string& folder,
                                                           const std::string& temp) {
  std::shared_ptr<CacheLock> lock;
  {
    std::lock_guard guard(mutex);
    if (!cache_lock || cache_lock->expired) return std::nullopt;
    lock = cache_lock;
  }
  if (!lock->mutex.try_lock_for(timings.lock_wait)) return std::nullopt;
  std::lock_guard held(lock->mutex, std::adopt_lock);
  SecretNarrow password;
  {
    std::lock_guard guard(mutex);
    if (lock->expired) return std::nullopt;
    // The cache always keeps a NUL after it.
    password = SecretNarrow(std::string_view(password_cache.data()));
  }
  return fcp.SignEnigma(folder.c_str(), temp.c_str(), password.c_str());
}

EnigmaProvider::EnigmaProvider(ActiveProvider& active, PasswordPrompt& prompt,
                               ProviderTimings timings)
    : impl_(std::make_unique<Impl>(active, prompt, timings)) {}

EnigmaProvider::~EnigmaProvider() = default;

void EnigmaProvider::Start(ProviderHost& host) {
  impl_->active.Set(kEnigmaName);
  // A folder found by an earlier start stays when no observer runs now; the last match wins.
  std::u16string folder;
  {
    std::lock_guard guard(impl_->mutex);
    folder = impl_->observer_folder;
  }
  for (const auto& process : platform::ListProcesses()) {
    if (process.executable.filename() == kObserverExecutable) {
      folder = Utf8ToWide(process.executable.string());
    }
  }
  if (folder.empty()) {
    host.ShowMessageBox(u"MCardObserver для токена ЭНИГМЫ не запущен");
    return;
  }
  folder.erase(folder.rfind(u'/') + 1);
  if (!platform::PathExists(PathOf(folder + std::u16string(kSignProgram)))) {
    host.AddUntimedLine(u"Убедитесь в готовности к работе токена ЭНИГМЫ");
  }
  // Under the code page in force now: the default one at program start, 1251 after a start
  // through the provider box.
  std::string narrow = NarrowWholeText(folder);
  {
    std::lock_guard guard(impl_->mutex);
    impl_->observer_folder = folder;
    if (narrow.size() <= kNarrowPathLimit) {
      impl_->observer_folder_narrow = std::move(narrow);
    } else {
      impl_->observer_folder_narrow.reset();
    }
  }
  CompleteProviderStart(host);
}

ResultCode EnigmaProvider::Sign(std::string document, char* buffer, int32_t* length) {
  const auto temp_folder = platform::UserTempFolder();
  if (!temp_folder) return kEnigmaTempFileError;
  const std::filesystem::path temp_path = temp_folder->string() + kSignTempName;
  const std::string temp_narrow = NarrowWholeText(Utf8ToWide(temp_path.string()));
  if (temp_narrow.size() > kNarrowPathLimit) return kEnigmaTempFileError;

  // A file left behind by an earlier signing goes first; a link planted in its place is
  // removed, never followed.
  std::error_code error;
  const auto status = std::filesystem::symlink_status(temp_path, error);
  if (!error && std::filesystem::exists(status)) {
    if (!std::filesystem::is_symlink(status) && platform::IsReadOnly(temp_path)) {
      platform::ClearReadOnly(temp_path);
    }
    platform::DeleteFile(temp_path);
  }
  if (!platform::CreateAndWriteFile(temp_path, document)) return kEnigmaTempFileError;

  std::optional<std::string> folder;
  {
    std::lock_guard guard(impl_->mutex);
    folder = impl_->observer_folder_narrow;
  }
  if (!folder || !platform::PathExists(PathOf(WidenText(*folder) + std::u16string(kSignProgram)))) {
    return kEnigmaNoSignProgram;
  }
  std::string fcp_error;
  const platform::Fcp* fcp = platform::Fcp::Get(&fcp_error);
  if (!fcp) return kSigningError;

  std::optional<int32_t> value = impl_->SignWithCache(*fcp, *folder, temp_narrow);
  for (int attempt = 1; !value; ++attempt) {
    SecretWide typed;
    if (PromptTokenPassword(impl_->prompt, &typed) == 0) return kEnigmaCancelled;
    const SecretNarrow password(NarrowPassword(typed.view()));
    typed.Clear();
    const int32_t result = fcp->SignEnigma(folder->c_str(), temp_narrow.c_str(), password.c_str());
    if (result == 0) {
      CachePassword(password.view());
      value = result;
    } else if (result != kEnigmaWrongPassword || attempt == kPasswordAttempts) {
      return result;
    }
  }

  LogEvent(kLogExecResult, std::nullopt, *value);
  if (*value != 0) {
    platform::DeleteFile(temp_path);
    return *value;
  }
  // The signature follows the document in the file; a file cut shorter is not read.
  const auto signature = platform::ReadFileFrom(temp_path, document.size());
  if (!signature) return kEnigmaTempFileError;
  const std::string text = Base64Encode(*signature);
  platform::DeleteFile(temp_path);
  // The caller ends the text with a NUL of its own.
  if (*length <= 0 || text.size() > static_cast<size_t>(*length) - 1) return kSigningError;
  text.copy(buffer, text.size());
  *length = static_cast<int32_t>(text.size());
  return 0;
}

int32_t EnigmaProvider::CachePassword(std::string_view narrow_password) {
  // It must leave a NUL behind it in the cache; a longer one is not kept, and the next
  // signing asks again.
  if (narrow_password.size() >= kPasswordCacheSize) return 1;
  std::lock_guard guard(impl_->mutex);
  if (impl_->keeper_active) impl_->cache_lock.reset();  // the old keeper itself goes on
  impl_->WipePasswordCache();
  if (!impl_->cache_lock) {
    try {
      impl_->cache_lock = std::make_shared<CacheLock>();
    } catch (const std::bad_alloc&) {
      return 1;
    }
  }
  narrow_password.copy(impl_->password_cache.data(), narrow_password.size());
  try {
    impl_->keepers.Start([impl = impl_.get()] { impl->EnigmaPasswordKeeper(); });
  } catch (const std::system_error&) {
    // A password that no keeper would expire is not kept.
    impl_->WipePasswordCache();
    impl_->cache_lock.reset();
    impl_->keeper_active = false;
    return 1;
  }
  impl_->keeper_active = true;
  return 0;
}

void EnigmaProvider::Forget() {
  std::lock_guard guard(impl_->mutex);
  impl_->WipePasswordCache();
}

void EnigmaProvider::ClearCache() {
  std::lock_guard guard(impl_->mutex);
  impl_->cache_lock.reset();
  impl_->WipePasswordCache();
  impl_->keeper_active = false;
}

}  // namespace vemo
