#include "platform/systemd_service.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <cstdlib>

namespace velkaro {
namespace {

const QString kSystemd = QStringLiteral("org.freedesktop.systemd1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString kManager = QStringLiteral("org.freedesktop.systemd1.Manager");
const QString kUnit = QStringLiteral("org.freedesktop.systemd1.Unit");
constexpr int kTimeoutMs = 500;  // the check runs on the UI thread every second

SystemdUnitFacts QueryUnit(QDBusInterface& manager, const QString& name) {
  SystemdUnitFacts facts;
  QDBusReply<QString> fileState = manager.call(QStringLiteral("GetUnitFileState"), name);
  if (!fileState.isValid()) return facts;  // no such unit file
  facts.exists = true;
  facts.fileState = fileState.value().toStdString();
  QDBusReply<QDBusObjectPath> path = manager.call(QStringLiteral("LoadUnit"), name);
  if (path.isValid()) {
    QDBusInterface unit(kSystemd, path.value().path(), kUnit, manager.connection());
    unit.setTimeout(kTimeoutMs);
    facts.activeState = unit.property("ActiveState").toString().toStdString();
  }
  return facts;
}

}  // namespace

SmartCardServiceStatus SystemdServiceControl::QuerySmartCardService() {
  if (std::getenv("PCSCLITE_CSOCK_NAME")) return SocketProbeServiceControl::QuerySmartCardService();
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) return SocketProbeServiceControl::QuerySmartCardService();
  QDBusInterface manager(kSystemd, kManagerPath, kManager, bus);
  if (!manager.isValid()) return SocketProbeServiceControl::QuerySmartCardService();
  manager.setTimeout(kTimeoutMs);

  return StatusFromSystemdUnits(QueryUnit(manager, QStringLiteral("pcscd.service")),
                                QueryUnit(manager, QStringLiteral("pcscd.socket")));
}

}  // namespace velkaro
