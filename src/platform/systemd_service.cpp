#include "platform/systemd_service.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QVariantMap>
#include <cstdlib>
#include <optional>

namespace velkaro {
namespace {

const QString kSystemd = QStringLiteral("org.freedesktop.systemd1");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kUnit = QStringLiteral("org.freedesktop.systemd1.Unit");
// systemd's object paths of the two units ('.' escaped as "_2e"). systemd
// loads a unit asked for by its path, so no LoadUnit call is needed first.
const QString kServicePath = QStringLiteral("/org/freedesktop/systemd1/unit/pcscd_2eservice");
const QString kSocketPath = QStringLiteral("/org/freedesktop/systemd1/unit/pcscd_2esocket");

// All properties of one unit in one call, with the time-out set on the call
// itself: no interface object, so no introspection with Qt's 25 s default.
QDBusPendingCall AskUnit(const QDBusConnection& bus, const QString& path) {
  QDBusMessage call = QDBusMessage::createMethodCall(kSystemd, path, kProperties, QStringLiteral("GetAll"));
  call << kUnit;
  return bus.asyncCall(call, kSystemdCallTimeoutMs);
}

// Nothing when systemd gave no answer (an error, or the time-out).
std::optional<SystemdUnitFacts> UnitFacts(const QDBusPendingCall& call) {
  QDBusPendingReply<QVariantMap> reply(call);
  reply.waitForFinished();
  if (!reply.isValid()) return std::nullopt;
  const QVariantMap properties = reply.value();
  const QString loadState = properties.value(QStringLiteral("LoadState")).toString();
  SystemdUnitFacts facts;
  // systemd answers for any unit name; "not-found" means there is no such unit.
  if (loadState.isEmpty() || loadState == QStringLiteral("not-found")) return facts;
  facts.exists = true;
  facts.fileState = properties.value(QStringLiteral("UnitFileState")).toString().toStdString();
  facts.activeState = properties.value(QStringLiteral("ActiveState")).toString().toStdString();
  return facts;
}

QString ConnectionName(const std::string& address) {
  return QStringLiteral("velkaro-systemd ") + QString::fromStdString(address);
}

}  // namespace

SystemdServiceControl::SystemdServiceControl(std::string busAddress) : m_busAddress(std::move(busAddress)) {
  QDBusConnection::connectToBus(QString::fromStdString(m_busAddress), ConnectionName(m_busAddress));
}

SystemdServiceControl::~SystemdServiceControl() {
  // A private connection must be closed by its owner, or libdbus complains.
  if (!m_busAddress.empty()) QDBusConnection::disconnectFromBus(ConnectionName(m_busAddress));
}

SmartCardServiceStatus SystemdServiceControl::QuerySmartCardService(PcscdReply reply) {
  // A client pointed at another pcscd is not served by the system's units;
  // a bus named by the caller is asked all the same.
  if (m_busAddress.empty() && std::getenv("PCSCLITE_CSOCK_NAME")) {
    return SocketProbeServiceControl::QuerySmartCardService(reply);
  }
  const QDBusConnection bus =
      m_busAddress.empty() ? QDBusConnection::systemBus() : QDBusConnection(ConnectionName(m_busAddress));
  if (!bus.isConnected()) return SocketProbeServiceControl::QuerySmartCardService(reply);

  const QDBusPendingCall serviceCall = AskUnit(bus, kServicePath);
  const QDBusPendingCall socketCall = AskUnit(bus, kSocketPath);
  const auto service = UnitFacts(serviceCall);
  const auto socket = UnitFacts(socketCall);
  if (!service || !socket) return SocketProbeServiceControl::QuerySmartCardService(reply);
  SmartCardServiceStatus status = StatusFromSystemdUnits(*service, *socket, reply);
  // Units that say pcscd does not run may be wrong: pcscd may have been
  // started by hand (pcscd -f -d to watch its debug output).
  if (reply == PcscdReply::kNotAsked && status.runState != ServiceRunState::kRunning) {
    status = StatusFromSystemdUnits(*service, *socket, ProbePcscdSocket());
  }
  return status;
}

}  // namespace velkaro
