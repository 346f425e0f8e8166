#pragma once
// pcscd's state from systemd over the system bus, falling back to the socket
// probe where there is no system bus (containers, CI) or where the client is
// pointed at another pcscd by PCSCLITE_CSOCK_NAME.

#include "platform/service_state.h"

namespace velkaro {

class SystemdServiceControl final : public SocketProbeServiceControl {
 public:
  SmartCardServiceStatus QuerySmartCardService() override;
};

}  // namespace velkaro
