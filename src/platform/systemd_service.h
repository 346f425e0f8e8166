#pragma once
// pcscd's state from systemd over the system bus, falling back to the socket
// probe where there is no system bus or systemd (containers, CI), where they
// do not answer in time, or where the client is pointed at another pcscd by
// PCSCLITE_CSOCK_NAME (unless a bus is named).

#include <string>

#include "platform/service_state.h"

namespace velkaro {

// Each D-Bus call's time-out: a systemd that has not answered by then counts
// as no systemd at all.
inline constexpr int kSystemdCallTimeoutMs = 300;

class SystemdServiceControl final : public SocketProbeServiceControl {
 public:
  SystemdServiceControl() = default;
  // Asks the systemd on the bus at this D-Bus address instead of the system
  // bus's (a stand-in, for tests).
  explicit SystemdServiceControl(std::string busAddress);
  ~SystemdServiceControl() override;
  SystemdServiceControl(const SystemdServiceControl&) = delete;
  SystemdServiceControl& operator=(const SystemdServiceControl&) = delete;

  using IServiceControl::QuerySmartCardService;
  // Waits for no more than one call time-out (both units are asked at once),
  // and one probe time-out when the units say pcscd does not run.
  SmartCardServiceStatus QuerySmartCardService(PcscdReply reply) override;

 private:
  std::string m_busAddress;  // empty: the system bus
};

}  // namespace velkaro
