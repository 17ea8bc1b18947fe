#pragma once

#include <QObject>
#include <QString>
#include <cstdint>

namespace vemo::platform {

// The desktop session's lock and seat events for our own session, as the main window takes
// them: lock (7) and unlock (8) from the screen saver's ActiveChanged (freedesktop and GNOME,
// on the session bus) and from logind's Lock and Unlock of our session; console disconnect (2)
// and connect (1) from our session's Active property turning false and true (another user's
// session took the seat, or gave it back).
//
// Threading: the UI thread (the thread whose event loop runs); signals arrive there.
class SessionMonitor : public QObject {
  Q_OBJECT

 public:
  enum Event : uint32_t {
    kConsoleConnect = 1,
    kConsoleDisconnect = 2,
    kSessionLock = 7,
    kSessionUnlock = 8,
  };
  // What the session's ids are; a remote session is never the console's.
  struct Ids {
    uint32_t own = 0;
    uint32_t console = 0;
  };
  static constexpr uint32_t kNoConsole = 0xFFFFFFFF;

  explicit SessionMonitor(QObject* parent = nullptr);

  // Subscribes to what this desktop offers. Returns the sources that are missing, separated by
  // "; " (empty when all are there); the program runs without their events.
  QString Start();
  Ids ids() const { return ids_; }

 signals:
  // event: one of Event; session_id: the session the event is about (ours).
  void SessionChanged(uint32_t event, uint32_t session_id);

 private slots:
  void OnScreenSaverActiveChanged(bool active);
  void OnLogindLock();
  void OnLogindUnlock();
  void OnSessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                  const QStringList& invalidated);

 private:
  QString StartLogind();
  void Emit(uint32_t event) { emit SessionChanged(event, ids_.own); }

  Ids ids_;
  QString session_path_;
  bool active_ = true;
};

}  // namespace vemo::platform
