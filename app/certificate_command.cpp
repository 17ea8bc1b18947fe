#include "app/certificate_command.h"

#include <string_view>

#include "platform/browser_trust.h"
#include "platform/files.h"

namespace vemo::app {
namespace {

constexpr std::string_view kInstall = "--install-certificate";
constexpr std::string_view kRemove = "--remove-certificate";

constexpr char kUsage[] =
    "Usage: Vemo_Server_Crypt [--install-certificate | --remove-certificate | --help]\n"
    "\n"
    "Without an option the program starts in the tray and serves https://localhost:9009/ for\n"
    "the bank's internet-banking page.\n"
    "\n"
    "  --install-certificate  add the program's local CA, trusted for the local server only,\n"
    "                         to the certificate databases of your browsers: Chromium and\n"
    "                         Google Chrome (~/.pki/nssdb or ~/.local/share/pki/nssdb, made\n"
    "                         when missing), snap and Flatpak Chromium, and every Firefox\n"
    "                         profile (native, snap, Flatpak); prints what it did\n"
    "  --remove-certificate   take the program's CAs out of those databases again\n"
    "  -h, --help             show this text\n";

bool IsOurs(std::string_view argument) {
  return argument == kInstall || argument == kRemove || argument == "--help" || argument == "-h";
}

void Print(const platform::TrustReport& report, std::ostream& out, std::ostream& err) {
  if (report.ca)
    out << "Local CA: " << report.ca->nickname << " (" << report.ca->file.string() << ")\n";
  for (const auto& outcome : report.outcomes) {
    (outcome.result == platform::TrustOutcome::Result::kFailed ? err : out)
        << platform::Describe(outcome) << "\n";
  }
  if (!report.error.empty()) err << "FAILED: " << report.error << "\n";
}

}  // namespace

std::optional<int> RunCommandLine(int argc, const char* const* argv, std::ostream& out,
                                  std::ostream& err) {
  std::optional<std::string_view> option;
  for (int i = 1; i < argc; ++i) {
    if (IsOurs(argv[i])) option = argv[i];
  }
  if (!option) return std::nullopt;
  if (argc != 2) {
    err << "Vemo_Server_Crypt: " << *option << " takes no other argument\n\n" << kUsage;
    return 2;
  }
  if (*option == kInstall) {
    const auto report = platform::InstallLocalCa(platform::DataFolder());
    Print(report, out, err);
    if (report.ok()) out << "A browser that is running may need a restart to see the change.\n";
    return report.ok() ? 0 : 1;
  }
  if (*option == kRemove) {
    const auto report = platform::RemoveLocalCa(platform::DataFolder());
    Print(report, out, err);
    return report.ok() ? 0 : 1;
  }
  out << kUsage;
  return 0;
}

}  // namespace vemo::app
