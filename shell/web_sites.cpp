#include "shell/web_sites.h"

#include <QDesktopServices>
#include <QKeySequence>
#include <QShortcut>
#include <QUrl>
#include <QWidget>
#include <utility>

namespace vemo::shell {
namespace {

UrlOpener& Opener() {
  static UrlOpener opener;
  return opener;
}

}  // namespace

void OpenUrl(const QUrl& url) {
  if (Opener()) {
    Opener()(url);
    return;
  }
  QDesktopServices::openUrl(url);
}

void OpenPublicSite() { OpenUrl(QUrl(QString::fromLatin1(kPublicSiteUrl))); }

void OpenBankingSite() { OpenUrl(QUrl(QString::fromLatin1(kBankingSiteUrl))); }

UrlOpener SetUrlOpener(UrlOpener opener) { return std::exchange(Opener(), std::move(opener)); }

void InstallHelpKey(QWidget* window) {
  // A key sequence without modifiers matches F1 alone, not Shift+F1 (What's This) or Ctrl+F1.
  auto* shortcut = new QShortcut(QKeySequence(Qt::Key_F1), window);
  shortcut->setContext(Qt::WindowShortcut);
  QObject::connect(shortcut, &QShortcut::activated, window, [] { OpenPublicSite(); });
}

}  // namespace vemo::shell
