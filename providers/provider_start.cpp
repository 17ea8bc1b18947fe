#include "providers/provider_start.h"

#include "support/text_conversions.h"

namespace vemo {

Providers::Providers(MainWindowView& prompt_view, ProviderTimings timings)
    : avest_(active_, timings), enigma_(active_, prompt_view, timings) {}

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
  std::optional<std::u16string> selected = host.View().SelectedProviderEntry();
  if (!selected) return;
  host.SetProviderText(*selected);
  StartByName(*selected, host);
}

void Providers::Enigma2Start(ProviderHost& host) {
  active_.Set(kEnigma2Name);
  CompleteProviderStart(host);
}

void CompleteProviderStart(ProviderHost& host) {
  // These run whatever StartServer's outcome; it reports its own failures.
  host.StartServer();
  host.UpdateTrayIcon(1);
  host.View().EnableStopButton();
  host.SaveWindowData();
}

}  // namespace vemo
