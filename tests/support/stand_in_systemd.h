#pragma once
// A private message bus with a stand-in systemd on it (fake_systemd), for
// the service check's tests and benchmarks. Both processes go with the
// object. Needs dbus-daemon, and VELKARO_FAKE_SYSTEMD and VELKARO_BUS_CONFIG
// defined by the build.

#include <QProcess>
#include <string>

namespace testing_support {

class StandInSystemd {
 public:
  StandInSystemd() = default;
  ~StandInSystemd() {
    for (QProcess* process : {&m_systemd, &m_bus}) {
      process->kill();
      process->waitForFinished(5000);
    }
  }
  StandInSystemd(const StandInSystemd&) = delete;
  StandInSystemd& operator=(const StandInSystemd&) = delete;

  // Starts the bus; the address is empty and `error` says why on failure.
  bool StartBus(std::string& error) {
    m_bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=" VELKARO_BUS_CONFIG),
                                               QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    if (!m_bus.waitForReadyRead(5000)) {
      error = "dbus-daemon did not start: " + m_bus.errorString().toStdString();
      return false;
    }
    m_address = m_bus.readLine().trimmed().toStdString();
    return !m_address.empty();
  }

  // Starts the stand-in on the bus. `mode`: the delay of every answer in
  // milliseconds, or "silent"; `units`: "running" or "stopped".
  bool StartSystemd(const char* mode, std::string& error, const char* units = "running") {
    m_systemd.start(QStringLiteral(VELKARO_FAKE_SYSTEMD),
                    {QString::fromStdString(m_address), QString::fromUtf8(mode), QString::fromUtf8(units)});
    if (!m_systemd.waitForReadyRead(5000) || m_systemd.readLine().trimmed() != "ready") {
      error = "the stand-in systemd did not start: " + m_systemd.readAllStandardError().toStdString();
      return false;
    }
    return true;
  }

  bool Start(const char* mode, std::string& error, const char* units = "running") {
    return StartBus(error) && StartSystemd(mode, error, units);
  }

  const std::string& Address() const { return m_address; }

 private:
  QProcess m_bus;
  QProcess m_systemd;
  std::string m_address;
};

}  // namespace testing_support
