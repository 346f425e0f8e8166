#include "platform/service_state.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "temp_dir.h"

using velkaro::ServiceRunState;
using velkaro::ServiceStartType;
using velkaro::StatusFromSystemdUnits;
using velkaro::SystemdUnitFacts;

TEST(ServiceStateTest, SystemdUnitsGiveStartTypeAndState) {
  const SystemdUnitFacts none;
  struct Case {
    SystemdUnitFacts service, socket;
    ServiceStartType start;
    ServiceRunState run;
  };
  const Case cases[] = {
      {{true, "enabled", "active"}, {true, "enabled", "active"}, ServiceStartType::kAutomatic, ServiceRunState::kRunning},
      // Socket activation: the service sleeps until a client comes.
      {{true, "indirect", "inactive"}, {true, "enabled", "active"}, ServiceStartType::kAutomatic, ServiceRunState::kRunning},
      {{true, "static", "inactive"}, {true, "disabled", "inactive"}, ServiceStartType::kManual, ServiceRunState::kStopped},
      {{true, "disabled", "active"}, none, ServiceStartType::kManual, ServiceRunState::kRunning},
      {{true, "masked", "inactive"}, {true, "enabled", "inactive"}, ServiceStartType::kDisabled, ServiceRunState::kStopped},
      {{true, "enabled", "activating"}, {true, "enabled", "inactive"}, ServiceStartType::kAutomatic, ServiceRunState::kPending},
      {{true, "enabled", "failed"}, {true, "enabled", "failed"}, ServiceStartType::kAutomatic, ServiceRunState::kStopped},
      {{true, "enabled", ""}, none, ServiceStartType::kAutomatic, ServiceRunState::kUnknown},
  };
  for (const Case& c : cases) {
    const auto status = StatusFromSystemdUnits(c.service, c.socket);
    EXPECT_TRUE(status.installed);
    EXPECT_EQ(status.startType, c.start) << c.service.fileState << "/" << c.socket.fileState;
    EXPECT_EQ(status.runState, c.run) << c.service.activeState << "/" << c.socket.activeState;
  }
  EXPECT_FALSE(StatusFromSystemdUnits(none, none).installed);
}

TEST(ServiceStateTest, SocketProbeSeesAListeningPcscd) {
  testing_support::TempDir dir;
  const std::string path = dir / "pcscd.comm";
  setenv("PCSCLITE_CSOCK_NAME", path.c_str(), 1);
  velkaro::SocketProbeServiceControl probe;
  EXPECT_EQ(probe.QuerySmartCardService(false).runState, ServiceRunState::kStopped);
  // A caller whose own context was answered knows better than the probe.
  EXPECT_EQ(probe.QuerySmartCardService(true).runState, ServiceRunState::kRunning);

  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  const auto status = probe.QuerySmartCardService(false);
  EXPECT_EQ(status.runState, ServiceRunState::kRunning);
  EXPECT_TRUE(status.installed);
  EXPECT_EQ(status.startType, ServiceStartType::kUnknown);
  ::close(listener);
  EXPECT_EQ(probe.QuerySmartCardService(false).runState, ServiceRunState::kStopped);

  std::uint32_t state = 0;
  EXPECT_FALSE(probe.QueryServiceState("ScardSvr", state));
  unsetenv("PCSCLITE_CSOCK_NAME");
  EXPECT_EQ(velkaro::PcscdSocketPath(), "/run/pcscd/pcscd.comm");
}
