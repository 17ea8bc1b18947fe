#include "providers/provider_start.h"

#include "support/text_conversions.h"

namespace vemo {

Providers::Providers(PasswordPrompt& prompt, ProviderTimings timings)
    : prompt_(prompt), avest_(active_, timings), enigma_(active_, prompt, timings) {}

void Providers::StartByName(std::u16string_view name, ProviderHost& host) {
  if (name == kAvestName) {
    avest_.Start(host);
  } else if (name == kEnigmaName) {
    enigma_.Start(host);
  } else if (name == kEnigma2Name) {
    Enigma2Start(host);
  }
}

void Providers::StartSelectedProvider(ProviderHost& host) {
  // The Enigma paths are converted under this code page from now on.
  SetProcessCodePage(NarrowCodePage::kCp1251);
  if (host.ServerRunning()) return;
  std::optional<std::u16string> selected = host.SelectedProviderEntry();
  if (!selected) return;
  host.SetProviderText(*selected);
  StartByName(*selected, host);
}

void Providers::Enigma2Start(ProviderHost& host) {
  active_.Set(kEnigma2Name);
  CompleteProviderStart(host);
}

void CompleteProviderStart(ProviderHost& host) {
  // These run after a failed start too; StartServer reports its own failures.
  if (host.StartServer() == ServerStart::kProgramEnding) return;
  host.UpdateTrayIcon(1);
  host.EnableStopButton();
  host.SaveWindowData();
}

}  // namespace vemo
