#pragma once

#include <functional>
#include <string_view>

class QUrl;
class QWidget;

// The bank's two web sites and how the program opens them. UI thread.
namespace vemo::shell {

inline constexpr char kPublicSiteUrl[] = "https://www.tramontel.example/";
inline constexpr char kBankingSiteUrl[] = "https://ibank.tramontel.example/";
// The tip of the About box's link: the public site's domain name.
inline constexpr std::u16string_view kPublicSiteTip = u"Перейти на сайт www.tramontel.example";

// Opens an address with the desktop's default handler (xdg-open); failures are ignored, as
// nothing could be done about them.
void OpenUrl(const QUrl& url);
void OpenPublicSite();
void OpenBankingSite();

// Replaces what OpenUrl does, so that tests can record addresses instead of starting a
// browser; an empty function brings back the desktop's handler. Returns the one replaced.
using UrlOpener = std::function<void(const QUrl&)>;
UrlOpener SetUrlOpener(UrlOpener opener);

// F1, with neither Shift, Ctrl nor Alt held, anywhere in the window opens the public site.
void InstallHelpKey(QWidget* window);

}  // namespace vemo::shell
