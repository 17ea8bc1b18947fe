#include "app/browser_trust_start.h"

#include "service/service_host.h"
#include "support/event_log.h"
#include "support/text_conversions.h"

namespace vemo::app {
namespace {

using platform::StartTrustAction;
using platform::TrustOutcome;

std::u16string Count(size_t n) { return Utf8ToWide(std::to_string(n)); }

}  // namespace

std::vector<std::u16string> TrustWindowLines(const platform::StartTrust& start) {
  std::vector<std::u16string> lines;
  if (start.action == StartTrustAction::kNothing && start.report.error.empty()) return lines;
  size_t trusted = 0;
  std::vector<std::u16string> failed;
  for (const auto& outcome : start.report.outcomes) {
    if (outcome.result == TrustOutcome::Result::kAdded ||
        outcome.result == TrustOutcome::Result::kPresent) {
      ++trusted;
    } else if (outcome.result == TrustOutcome::Result::kFailed) {
      failed.push_back(u"Не удалось добавить сертификат Vemo_Server_Crypt в хранилище " +
                       outcome.database.folder.u16string());
    }
  }
  if (trusted > 0) {
    lines.push_back(start.action == StartTrustAction::kRenewal
                        ? u"Новый сертификат Vemo_Server_Crypt добавлен в доверенные для "
                          u"браузеров вместо прежнего (хранилищ: " +
                              Count(trusted) + u")"
                        : u"Сертификат Vemo_Server_Crypt добавлен в доверенные для браузеров "
                          u"(хранилищ: " +
                              Count(trusted) + u")");
  }
  lines.insert(lines.end(), failed.begin(), failed.end());
  if (!start.report.error.empty()) {
    lines.push_back(
        u"Не удалось добавить сертификат Vemo_Server_Crypt в доверенные для браузеров "
        u"(подробности в журнале событий)");
  }
  return lines;
}

void KeepBrowserTrust(SigningService& service) {
  const platform::StartTrust start = platform::KeepLocalCaTrusted(service.DataFolder());
  const std::u16string_view what = start.action == StartTrustAction::kRenewal
                                       ? u"New local CA for the browsers"
                                       : u"Local CA for the browsers";
  for (const auto& outcome : start.report.outcomes) {
    const std::u16string line = Utf8ToWide(platform::Describe(outcome));
    WriteEvent(what, std::nullopt, std::u16string_view(line), EventValueFormat::kText);
  }
  if (!start.report.error.empty()) {
    const std::u16string reason = Utf8ToWide(start.report.error);
    WriteEvent(what, std::u16string_view(reason), std::monostate{}, EventValueFormat::kText);
  }
  for (const auto& line : TrustWindowLines(start)) service.AddLogLine(line);
}

}  // namespace vemo::app
