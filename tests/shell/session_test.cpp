// The session's lock and seat events as the program gets them: a fake screen saver on the
// (private) session bus and a fake logind on a private bus given as the system bus, the real
// SessionMonitor, and the real service on localhost:9009 behind a recording window.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QDeadlineTimer>
#include <QThread>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/session_monitor.h"
#include "providers/provider_start.h"
#include "service/service_host.h"
#include "support/event_log.h"
#include "tests/fakes/fake_modules.h"
#include "tests/fakes/test_support.h"
#include "tests/shell/event_wait.h"

namespace vemo::test {
namespace {

using platform::SessionMonitor;

constexpr char kSessionPath[] = "/org/freedesktop/login1/session/_33";
constexpr char kSessionInterface[] = "org.freedesktop.login1.Session";

// logind as far as the monitor asks it: the session of a process and its properties.
class FakeLogind : public QDBusVirtualObject {
 public:
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    QDBusMessage reply;
    if (message.member() == QLatin1String("GetSessionByPID")) {
      reply = message.createReply(QVariant::fromValue(QDBusObjectPath(kSessionPath)));
    } else if (message.member() == QLatin1String("Get") && message.arguments().size() == 2) {
      const QString name = message.arguments()[1].toString();
      QVariant value;
      if (name == QLatin1String("Id")) value = QStringLiteral("33");
      if (name == QLatin1String("Remote")) value = remote.load();
      if (name == QLatin1String("Active")) value = active.load();
      reply = message.createReply(QVariant::fromValue(QDBusVariant(value)));
    } else {
      return false;
    }
    connection.send(reply);
    return true;
  }

  std::atomic<bool> remote = false;
  std::atomic<bool> active = true;
};

class SessionTest : public ::testing::Test {
 protected:
  SessionTest()
      : saver_(QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake_saver")),
        logind_bus_(QDBusConnection::connectToBus(QDBusConnection::SystemBus, "fake_logind")) {
    InitEventLog(home_.DataFolder());
    // The monitor's calls block the test's thread; the fake answers from a thread of its own.
    logind_thread_.start();
    logind_.moveToThread(&logind_thread_);
    saver_.registerService(QStringLiteral("org.freedesktop.ScreenSaver"));
    logind_bus_.registerService(QStringLiteral("org.freedesktop.login1"));
    logind_bus_.registerVirtualObject(QStringLiteral("/org/freedesktop/login1"), &logind_,
                                      QDBusConnection::SubPath);
  }
  ~SessionTest() override {
    service_.reset();
    logind_bus_.unregisterObject(QStringLiteral("/org/freedesktop/login1"),
                                 QDBusConnection::UnregisterTree);
    logind_bus_.unregisterService(QStringLiteral("org.freedesktop.login1"));
    saver_.unregisterService(QStringLiteral("org.freedesktop.ScreenSaver"));
    QDBusConnection::disconnectFromBus(QStringLiteral("fake_saver"));
    QDBusConnection::disconnectFromBus(QStringLiteral("fake_logind"));
    logind_thread_.quit();
    logind_thread_.wait();
    ResetEventLogForTesting();
  }

  // The program's start: the monitor subscribes, the service starts the provider.
  void Start(std::u16string_view provider) {
    SigningService::Options options;
    service_ = std::make_unique<SigningService>(window_, providers_, std::move(options));
    monitor_ = std::make_unique<SessionMonitor>();
    ASSERT_EQ(monitor_->Start().toStdString(), "");
    QObject::connect(monitor_.get(), &SessionMonitor::SessionChanged,
                     [this](uint32_t event, uint32_t session) {
                       service_->HandleSessionChange(event, session, monitor_->ids().own,
                                                     monitor_->ids().console);
                     });
    service_->provider_box().Add(kAvestName);
    if (provider == kAvestName) service_->provider_box().Select(0);
    providers_.StartByName(provider, *service_);
    ASSERT_TRUE(service_->ServerRunning());
  }

  void ScreenSaver(bool active) {
    auto signal = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/ScreenSaver"),
                                             QStringLiteral("org.freedesktop.ScreenSaver"),
                                             QStringLiteral("ActiveChanged"));
    signal << active;
    saver_.send(signal);
  }
  void Logind(const char* member) {
    logind_bus_.send(QDBusMessage::createSignal(kSessionPath, kSessionInterface, member));
  }
  void SeatActive(bool active) {
    logind_.active = active;
    auto signal =
        QDBusMessage::createSignal(kSessionPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("PropertiesChanged"));
    signal << QString::fromLatin1(kSessionInterface)
           << QVariantMap{{QStringLiteral("Active"), active}} << QStringList();
    logind_bus_.send(signal);
  }
  std::string LastLine() {
    const auto lines = window_.Texts("log");
    return lines.empty() ? "" : lines.back();
  }

  TempHome home_;
  FakeModules fakes_{home_.path() / "fakes"};
  QDBusConnection saver_;
  QDBusConnection logind_bus_;
  QThread logind_thread_;
  FakeLogind logind_;
  RecordingWindow window_;
  ScriptedPrompt prompt_;
  Providers providers_{prompt_};
  std::unique_ptr<SigningService> service_;
  std::unique_ptr<SessionMonitor> monitor_;
};

// Each source's lock stops the service and its unlock starts the selected provider again.
TEST_F(SessionTest, LockStopsAndUnlockStartsTheSelectedProviderAgain) {
  Start(kAvestName);
  struct Source {
    const char* name;
    std::function<void()> lock, unlock;
  };
  const Source sources[] = {
      {"screen saver", [&] { ScreenSaver(true); }, [&] { ScreenSaver(false); }},
      {"logind", [&] { Logind("Lock"); }, [&] { Logind("Unlock"); }},
      {"another session takes the seat", [&] { SeatActive(false); }, [&] { SeatActive(true); }},
  };
  for (const auto& source : sources) {
    SCOPED_TRACE(source.name);
    source.lock();
    ASSERT_TRUE(Eventually([&] { return !service_->ServerRunning(); }));
    EXPECT_EQ(LastLine(), "Vemo_Server_Crypt остановлен");
    EXPECT_FALSE(PortAcceptsConnections(9009));
    source.unlock();
    ASSERT_TRUE(Eventually([&] { return service_->ServerRunning(); }));
    EXPECT_EQ(LastLine(), "Vemo_Server_Crypt запущен: Авест");
  }
}

TEST_F(SessionTest, UnlockStartsNothingWithoutASelectionOrInARemoteSession) {
  for (const bool remote : {false, true}) {
    SCOPED_TRACE(remote ? "remote session" : "no selection");
    logind_.remote = remote;
    Start(remote ? kAvestName : kEnigma2Name);
    ScreenSaver(true);
    ASSERT_TRUE(Eventually([&] { return !service_->ServerRunning(); }));
    ScreenSaver(false);
    Logind("Unlock");
    // The unlock has arrived once a later signal has: the stop line stays the last.
    SeatActive(false);
    SeatActive(true);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 200);
    EXPECT_FALSE(service_->ServerRunning());
    EXPECT_EQ(LastLine(), "Vemo_Server_Crypt остановлен");
    service_.reset();
    monitor_.reset();
  }
}

}  // namespace
}  // namespace vemo::test

// A private bus stands for the system bus, with the fake logind on it; the session bus is the
// test run's own private one.
int main(int argc, char** argv) {
  std::FILE* daemon = ::popen("dbus-daemon --session --fork --print-address=1 --print-pid=1", "r");
  char address[512] = {};
  char pid[32] = {};
  if (!daemon || !std::fgets(address, sizeof address, daemon) ||
      !std::fgets(pid, sizeof pid, daemon)) {
    std::fprintf(stderr, "no dbus-daemon for the system bus\n");
    return 1;
  }
  ::pclose(daemon);
  address[std::strcspn(address, "\n")] = 0;
  ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address, 1);
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  ::kill(std::atoi(pid), SIGTERM);
  return result;
}
