#include "providers/avest_provider.h"

#include <limits>
#include <new>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "providers/keeper_threads.h"
#include "providers/provider_start.h"
#include "support/base64.h"
#include "support/event_catalogue.h"
#include "support/event_log.h"

namespace vemo {
namespace {

constexpr int32_t kLogLoginResult = 20;
constexpr int32_t kLogSignResult = 24;
constexpr int32_t kLogLogoutResult = 40;
// The login lock could not be had after a successful login.
constexpr ResultCode kLoginLockFailed = 1;

constexpr std::u16string_view kInitFailedLine = u"Ошибка инициализации Авест";

}  // namespace

// All state is guarded by mutex_. login_lock stands for AvestLoginLock: the signing step
// holds it around sign_Avest and a keeper around its logout. It is a shared object so that a
// keeper keeps the mutex it locked even when the provider drops or replaces the lock.
struct AvestProvider::Impl {
  Impl(ActiveProvider& active_provider, ProviderTimings provider_timings)
      : active(active_provider), timings(provider_timings) {}
  ~Impl() { keepers.Stop(); }

  std::shared_ptr<const platform::AvCryptMail> Library() {
    std::lock_guard lock(mutex);
    return library;
  }
  std::shared_ptr<std::timed_mutex> Lock() {
    std::lock_guard lock(mutex);
    return login_lock;
  }
  // Takes the current login and leaves none behind in one step, so that a keeper, a forget
  // and an unload never log out the same login twice.
  AvCmHandle TakeHandle() {
    std::lock_guard lock(mutex);
    return std::exchange(login_handle, 0);
  }

  // AvestLoginKeeper: ends the token login after the keeper delay.
  void AvestLoginKeeper();
  // Reuse check: true when the open login may be used without a new login.
  bool ReuseLogin();
  ResultCode Login(const platform::AvCryptMail& lib, int32_t flags);

  ActiveProvider& active;
  const ProviderTimings timings;

  std::mutex mutex;
  std::shared_ptr<const platform::AvCryptMail> library;
  AvCmHandle login_handle = 0;
  std::shared_ptr<std::timed_mutex> login_lock;
  bool keeper_active = false;

  KeeperThreads keepers;
};

void AvestProvider::Impl::AvestLoginKeeper() {
  if (!keepers.SleepFor(timings.keeper_delay)) return;
  std::shared_ptr<std::timed_mutex> lock;
  for (;;) {
    if (keepers.Stopping()) return;
    lock = Lock();
    if (!lock) return;  // unloaded in the meantime
    if (lock->try_lock_for(kKeeperLockSlice)) break;
  }
  std::unique_lock held(*lock, std::adopt_lock);
  // At program end the library is left alone.
  if (keepers.Stopping()) return;
  const auto lib = Library();
  if (!lib) return;
  const AvCmHandle handle = TakeHandle();
  const int32_t result = lib->Logout(handle, 0);
  LogEvent(kLogLogoutResult, std::nullopt, result);
}

bool AvestProvider::Impl::ReuseLogin() {
  std::shared_ptr<std::timed_mutex> lock;
  {
    std::lock_guard guard(mutex);
    if (!keeper_active) return false;
    lock = login_lock;
  }
  if (lock && lock->try_lock_for(timings.lock_wait)) {
    std::unique_lock held(*lock, std::adopt_lock);
    std::lock_guard guard(mutex);
    if (login_handle != 0) return true;
    // The keeper has ended the login.
    keeper_active = false;
    return false;
  }
  // The keeper holds the lock too long: drop it and the keeper; the earlier login is not
  // logged out.
  std::lock_guard guard(mutex);
  keeper_active = false;
  login_lock.reset();
  return false;
}

ResultCode AvestProvider::Impl::Login(const platform::AvCryptMail& lib, int32_t flags) {
  // The library fills the handle in place, as it would fill AvestLoginHandle itself.
  AvCmHandle handle;
  {
    std::lock_guard guard(mutex);
    handle = login_handle;
  }
  const int32_t result = lib.Login(&handle, flags);
  std::lock_guard guard(mutex);
  login_handle = handle;
  if (result != 0) return result;
  if (!login_lock) {
    try {
      login_lock = std::make_shared<std::timed_mutex>();
    } catch (const std::bad_alloc&) {
      return kLoginLockFailed;
    }
  }
  try {
    keepers.Start([this] { AvestLoginKeeper(); });
  } catch (const std::system_error&) {
    // Without a keeper the login would never end: leave it to the next signing's new login.
    return kLoginLockFailed;
  }
  keeper_active = true;
  return 0;
}

AvestProvider::AvestProvider(ActiveProvider& active, ProviderTimings timings)
    : impl_(std::make_unique<Impl>(active, timings)) {}

AvestProvider::~AvestProvider() = default;

void AvestProvider::Start(ProviderHost& host) {
  impl_->active.Set(kAvestName);
  std::string error;
  std::string missing_export;
  std::shared_ptr<const platform::AvCryptMail> lib =
      platform::AvCryptMail::Load(&error, &missing_export);
  {
    std::lock_guard guard(impl_->mutex);
    impl_->library = lib;
  }
  if (!lib) {
    if (missing_export.empty()) {
      WriteEvent(u"Avest dll load failed", std::nullopt, std::u16string_view(u"AvCryptMail.dll"),
                 EventValueFormat::kText);
    }
    host.AddLogLine(kInitFailedLine);
    return;
  }
  if (lib->Init(1) != 0) {
    host.AddLogLine(kInitFailedLine);
    return;
  }
  CompleteProviderStart(host);
}

ResultCode AvestProvider::Sign(std::string document, char* buffer, int32_t* length) {
  std::string error;
  const platform::Fcp* fcp = platform::Fcp::Get(&error);
  if (!fcp) return kAvestDllError2;
  const auto lib = impl_->Library();
  if (!lib) return kAvestDllError1;
  if (document.size() > std::numeric_limits<uint32_t>::max() || *length <= 0) {
    return kSigningError;
  }

  // Bringing this process's window to the front before a login has no counterpart in this
  // UI-free code; the token's own login prompt takes the foreground.
  ResultCode result = 0;
  if (!impl_->ReuseLogin()) result = impl_->Login(*lib, LoginFlags());
  LogEvent(kLogLoginResult, std::nullopt, result);
  if (result != 0) return result;

  // The reuse check and the signing take the lock one after the other: a keeper that fires
  // in between ends the login, and sign_Avest then gets handle 0.
  const auto lock = impl_->Lock();
  if (!lock || !lock->try_lock_for(impl_->timings.lock_wait)) return kSigningError;
  const int32_t capacity = *length;
  int32_t signature_length = 0;
  {
    std::unique_lock held(*lock, std::adopt_lock);
    AvCmHandle handle;
    {
      std::lock_guard guard(impl_->mutex);
      handle = impl_->login_handle;
    }
    result = fcp->SignAvest(lib->SignAddress(), handle,
                            reinterpret_cast<const uint8_t*>(document.data()),
                            static_cast<uint32_t>(document.size()),
                            reinterpret_cast<uint8_t*>(buffer), capacity, &signature_length);
  }
  LogEvent(kLogSignResult, std::nullopt, result);
  if (result != 0) return result;

  const std::string text = Base64Encode(buffer, static_cast<size_t>(signature_length));
  // The caller ends the text with a NUL of its own.
  if (text.size() > static_cast<size_t>(capacity) - 1) return kSigningError;
  text.copy(buffer, text.size());
  *length = static_cast<int32_t>(text.size());
  return 0;
}

ResultCode AvestProvider::Unload() {
  std::shared_ptr<const platform::AvCryptMail> lib;
  {
    std::lock_guard guard(impl_->mutex);
    impl_->keeper_active = false;  // the keeper itself goes on
    lib = impl_->library;
  }
  if (lib) {
    const AvCmHandle handle = impl_->TakeHandle();
    if (handle != 0) {
      const int32_t result = lib->Logout(handle, 0);
      LogEvent(kLogLogoutResult, std::nullopt, result);
      if (result != 0) return result;
    }
    const int32_t result = lib->Init(2);
    if (result != 0) return result;
  }
  std::lock_guard guard(impl_->mutex);
  // A keeper that is logging out right now keeps its own reference until it is done.
  impl_->library.reset();
  impl_->login_lock.reset();
  impl_->login_handle = 0;
  return 0;
}

void AvestProvider::Forget() {
  const auto lib = impl_->Library();
  const AvCmHandle handle = impl_->TakeHandle();
  if (lib) lib->Logout(handle, 0);
}

}  // namespace vemo
