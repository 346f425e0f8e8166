// A stand-in systemd on a private bus: it answers GetAll for pcscd's units
// after a delay, or never. pcscd.service is enabled and active, pcscd.socket
// does not exist.
//
//   fake_systemd BUS-ADDRESS DELAY-MS|silent
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
  explicit FakeUnits(int delayMs) : m_delayMs(delayMs) {}

  QString introspect(const QString&) const override { return {}; }

  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() != QStringLiteral("GetAll")) return false;
    if (m_delayMs < 0) return true;  // silent: the caller waits for its time-out
    QVariantMap properties;
    if (message.path().endsWith(QStringLiteral("pcscd_2eservice"))) {
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
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: fake_systemd BUS-ADDRESS DELAY-MS|silent\n");
    return 2;
  }
  const QString mode = QString::fromUtf8(argv[2]);
  FakeUnits units(mode == QStringLiteral("silent") ? -1 : mode.toInt());
  QDBusConnection bus = QDBusConnection::connectToBus(QString::fromUtf8(argv[1]), QStringLiteral("fake"));
  if (!bus.isConnected() ||
      !bus.registerVirtualObject(QStringLiteral("/org/freedesktop/systemd1/unit"), &units,
                                 QDBusConnection::SubPath) ||
      !bus.registerService(QStringLiteral("org.freedesktop.systemd1"))) {
    std::fprintf(stderr, "fake_systemd: cannot serve on %s\n", argv[1]);
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  return application.exec();
}
