#include "platform/session_monitor.h"

#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QStringList>

namespace vemo::platform {
namespace {

constexpr char kLogindService[] = "org.freedesktop.login1";
constexpr char kLogindPath[] = "/org/freedesktop/login1";
constexpr char kLogindManager[] = "org.freedesktop.login1.Manager";
constexpr char kLogindSession[] = "org.freedesktop.login1.Session";
constexpr char kProperties[] = "org.freedesktop.DBus.Properties";

struct ScreenSaver {
  const char* service;
  const char* path;
};
constexpr ScreenSaver kScreenSavers[] = {
    {"org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver"},
    {"org.gnome.ScreenSaver", "/org/gnome/ScreenSaver"},
};

// logind names sessions by text ("3", "c2"); the window wants a number that is ours alone.
uint32_t NumberOf(const QString& id) {
  bool numeric = false;
  const uint32_t value = id.toUInt(&numeric);
  if (numeric) return value;
  return static_cast<uint32_t>(qHash(id)) & 0x7FFFFFFF;
}

}  // namespace

SessionMonitor::SessionMonitor(QObject* parent) : QObject(parent) {}

QString SessionMonitor::Start() {
  QStringList missing;
  QDBusConnection session_bus = QDBusConnection::sessionBus();
  if (!session_bus.isConnected()) {
    missing << QStringLiteral("no session bus");
  } else {
    bool any = false;
    for (const auto& saver : kScreenSavers) {
      // Subscribed whether or not the screen saver runs yet: it may start later.
      session_bus.connect(QString(), QString::fromLatin1(saver.path),
                          QString::fromLatin1(saver.service), QStringLiteral("ActiveChanged"), this,
                          SLOT(OnScreenSaverActiveChanged(bool)));
      any = any || session_bus.interface()->isServiceRegistered(QString::fromLatin1(saver.service));
    }
    if (!any) missing << QStringLiteral("no screen saver on the session bus");
  }
  const QString logind = StartLogind();
  if (!logind.isEmpty()) missing << logind;
  return missing.join(QStringLiteral("; "));
}

QString SessionMonitor::StartLogind() {
  QDBusConnection system_bus = QDBusConnection::systemBus();
  if (!system_bus.isConnected()) return QStringLiteral("no system bus");
  QDBusInterface manager(QString::fromLatin1(kLogindService), QString::fromLatin1(kLogindPath),
                         QString::fromLatin1(kLogindManager), system_bus);
  const QDBusReply<QDBusObjectPath> path =
      manager.call(QStringLiteral("GetSessionByPID"), static_cast<uint32_t>(::getpid()));
  if (!path.isValid()) return QStringLiteral("no logind session: ") + path.error().message();
  session_path_ = path.value().path();

  QDBusInterface properties(QString::fromLatin1(kLogindService), session_path_,
                            QString::fromLatin1(kProperties), system_bus);
  auto property = [&](const char* name) {
    const QDBusReply<QDBusVariant> reply = properties.call(
        QStringLiteral("Get"), QString::fromLatin1(kLogindSession), QString::fromLatin1(name));
    return reply.isValid() ? reply.value().variant() : QVariant();
  };
  ids_.own = NumberOf(property("Id").toString());
  ids_.console = property("Remote").toBool() ? kNoConsole : ids_.own;
  active_ = property("Active").toBool();

  const QString service = QString::fromLatin1(kLogindService);
  system_bus.connect(service, session_path_, QString::fromLatin1(kLogindSession),
                     QStringLiteral("Lock"), this, SLOT(OnLogindLock()));
  system_bus.connect(service, session_path_, QString::fromLatin1(kLogindSession),
                     QStringLiteral("Unlock"), this, SLOT(OnLogindUnlock()));
  system_bus.connect(service, session_path_, QString::fromLatin1(kProperties),
                     QStringLiteral("PropertiesChanged"), this,
                     SLOT(OnSessionPropertiesChanged(QString, QVariantMap, QStringList)));
  return QString();
}

void SessionMonitor::OnScreenSaverActiveChanged(bool active) {
  Emit(active ? kSessionLock : kSessionUnlock);
}

void SessionMonitor::OnLogindLock() { Emit(kSessionLock); }

void SessionMonitor::OnLogindUnlock() { Emit(kSessionUnlock); }

void SessionMonitor::OnSessionPropertiesChanged(const QString& interface,
                                                const QVariantMap& changed,
                                                const QStringList& invalidated) {
  if (interface != QLatin1String(kLogindSession)) return;
  bool active = active_;
  if (changed.contains(QStringLiteral("Active"))) {
    active = changed.value(QStringLiteral("Active")).toBool();
  } else if (invalidated.contains(QStringLiteral("Active"))) {
    QDBusInterface properties(QString::fromLatin1(kLogindService), session_path_,
                              QString::fromLatin1(kProperties), QDBusConnection::systemBus());
    const QDBusReply<QDBusVariant> reply = properties.call(
        QStringLiteral("Get"), QString::fromLatin1(kLogindSession), QStringLiteral("Active"));
    if (reply.isValid()) active = reply.value().variant().toBool();
  }
  if (active == active_) return;
  active_ = active;
  Emit(active ? kConsoleConnect : kConsoleDisconnect);
}

}  // namespace vemo::platform
