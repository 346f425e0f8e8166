// A stand-in systemd on a private bus: it answers GetAll for pcscd's units
// after a delay, or never. "running": pcscd.service is enabled and active,
// pcscd.socket does not exist; "stopped": both units exist, socket
// activation is enabled, and both are inactive (stopped by hand).
//
//   fake_systemd BUS-ADDRESS DELAY-MS|silent [running|stopped]
//
// Prints "ready" once it owns systemd's name.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QTimer>
#include <cstdio>

namespace {

class FakeUnits final : public QDBusVirtualObject {
 public:
  FakeUnits(int delayMs, bool stopped) : m_delayMs(delayMs), m_stopped(stopped) {}

  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != QStringLiteral("GetAll")) return false;
    if (m_delayMs < 0) return true;  // silent: the caller waits for its time-out
    QVariantMap properties;
    const bool service = message.path().endsWith(QStringLiteral("pcscd_2eservice"));
    if (m_stopped) {
      properties = {{"LoadState", "loaded"},
                    {"UnitFileState", service ? "indirect" : "enabled"},
                    {"ActiveState", "inactive"}};
    } else if (service) {
      properties = {{"LoadState", "loaded"}, {"UnitFileState", "enabled"}, {"ActiveState", "active"}};
    } else {
      properties = {{"LoadState", "not-found"}, {"UnitFileState", ""}, {"ActiveState", "inactive"}};
    }
    const QDBusMessage reply = message.createReply(QVariant(properties));
    QTimer::singleShot(m_delayMs, [connection, reply] { QDBusConnection(connection).send(reply); });
    return true;
  }

 private:
  int m_delayMs;
  bool m_stopped;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  const QString units = argc == 4 ? QString::fromUtf8(argv[3]) : QStringLiteral("running");
  if ((argc != 3 && argc != 4) || (units != QStringLiteral("running") && units != QStringLiteral("stopped"))) {
    std::fprintf(stderr, "usage: fake_systemd BUS-ADDRESS DELAY-MS|silent [running|stopped]\n");
    return 2;
  }
  const QString mode = QString::fromUtf8(argv[2]);
  FakeUnits fakeUnits(mode == QStringLiteral("silent") ? -1 : mode.toInt(), units == QStringLiteral("stopped"));
  QDBusConnection bus = QDBusConnection::connectToBus(QString::fromUtf8(argv[1]), QStringLiteral("fake"));
  if (!bus.isConnected() ||
      !bus.registerVirtualObject(QStringLiteral("/org/freedesktop/systemd1/unit"), &fakeUnits,
                                 QDBusConnection::SubPath) ||
      !bus.registerService(QStringLiteral("org.freedesktop.systemd1"))) {
    std::fprintf(stderr, "fake_systemd: cannot serve on %s\n", argv[1]);
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  return application.exec();
}
