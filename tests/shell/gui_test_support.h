#pragma once

#include <QDir>
#include <QString>
#include <QTest>
#include <QUrl>
#include <QWidget>
#include <string>
#include <utility>
#include <vector>

#include "shell/web_sites.h"

namespace vemo::shell::test {

// Records the addresses that the program opens instead of starting a browser.
class UrlRecorder {
 public:
  UrlRecorder()
      : previous_(SetUrlOpener([this](const QUrl& url) { urls_.push_back(url.toString()); })) {}
  ~UrlRecorder() { SetUrlOpener(std::move(previous_)); }
  UrlRecorder(const UrlRecorder&) = delete;
  UrlRecorder& operator=(const UrlRecorder&) = delete;

  const std::vector<QString>& urls() const { return urls_; }

 private:
  std::vector<QString> urls_;
  UrlOpener previous_;
};

inline std::string U8(const QString& text) { return text.toStdString(); }

// Shows the window and waits until it is the active one, which key shortcuts need.
inline bool ShowActive(QWidget* window) {
  window->show();
  window->activateWindow();
  return QTest::qWaitForWindowActive(window);
}

// Saves a picture of the window under VEMO_ARTIFACT_DIR for a look by eye; false when the
// picture could not be made or saved.
inline bool SaveScreenshot(QWidget* window, const QString& name) {
  const QString folder = qEnvironmentVariable("VEMO_ARTIFACT_DIR");
  const QPixmap picture = window->grab();
  if (picture.isNull()) return false;
  if (folder.isEmpty()) return true;
  QDir().mkpath(folder);
  return picture.save(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
}

}  // namespace vemo::shell::test
