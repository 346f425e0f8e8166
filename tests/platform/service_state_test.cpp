#include "platform/service_state.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "pcscd_socket_stand_in.h"

using testing_support::PcscdSocketStandIn;
using velkaro::PcscdReply;
using velkaro::ServiceRunState;
using velkaro::ServiceStartType;
using velkaro::StatusFromSystemdUnits;
using velkaro::SystemdUnitFacts;

TEST(ServiceStateTest, SystemdUnitsAndPcscdsReplyGiveStartTypeAndState) {
  const SystemdUnitFacts none;
  // Units stopped by hand: socket activation enabled, nothing active.
  const SystemdUnitFacts stoppedService{true, "indirect", "inactive"}, stoppedSocket{true, "enabled", "inactive"};
  struct Case {
    SystemdUnitFacts service, socket;
    PcscdReply reply;
    bool installed;
    ServiceStartType start;
    ServiceRunState run;
  };
  const Case cases[] = {
      {{true, "enabled", "active"}, {true, "enabled", "active"}, PcscdReply::kNotAsked, true,
       ServiceStartType::kAutomatic, ServiceRunState::kRunning},
      // Socket activation: the service sleeps until a client comes.
      {{true, "indirect", "inactive"}, {true, "enabled", "active"}, PcscdReply::kNotAsked, true,
       ServiceStartType::kAutomatic, ServiceRunState::kRunning},
      {{true, "static", "inactive"}, {true, "disabled", "inactive"}, PcscdReply::kNotAsked, true,
       ServiceStartType::kManual, ServiceRunState::kStopped},
      {{true, "disabled", "active"}, none, PcscdReply::kNotAsked, true, ServiceStartType::kManual,
       ServiceRunState::kRunning},
      {{true, "masked", "inactive"}, {true, "enabled", "inactive"}, PcscdReply::kNotAsked, true,
       ServiceStartType::kDisabled, ServiceRunState::kStopped},
      {{true, "masked-runtime", "inactive"}, {true, "enabled", "inactive"}, PcscdReply::kNotAsked, true,
       ServiceStartType::kDisabled, ServiceRunState::kStopped},
      {none, {true, "masked-runtime", "inactive"}, PcscdReply::kNotAsked, true, ServiceStartType::kDisabled,
       ServiceRunState::kStopped},
      {{true, "enabled", "reloading"}, none, PcscdReply::kNotAsked, true, ServiceStartType::kAutomatic,
       ServiceRunState::kRunning},
      {{true, "enabled", "activating"}, {true, "enabled", "inactive"}, PcscdReply::kNotAsked, true,
       ServiceStartType::kAutomatic, ServiceRunState::kPending},
      {{true, "enabled", "failed"}, {true, "enabled", "failed"}, PcscdReply::kNotAsked, true,
       ServiceStartType::kAutomatic, ServiceRunState::kStopped},
      {{true, "enabled", ""}, none, PcscdReply::kNotAsked, true, ServiceStartType::kAutomatic,
       ServiceRunState::kUnknown},
      // pcscd started by hand while the units are stopped: its reply decides
      // whether it runs, the units still give the start type.
      {stoppedService, stoppedSocket, PcscdReply::kAnswered, true, ServiceStartType::kAutomatic,
       ServiceRunState::kRunning},
      {stoppedService, stoppedSocket, PcscdReply::kRefused, true, ServiceStartType::kAutomatic,
       ServiceRunState::kStopped},
      {stoppedService, stoppedSocket, PcscdReply::kNoAnswer, true, ServiceStartType::kAutomatic,
       ServiceRunState::kNotAnswering},
      {{true, "enabled", "active"}, none, PcscdReply::kNoAnswer, true, ServiceStartType::kAutomatic,
       ServiceRunState::kNotAnswering},
      {{true, "masked", "inactive"}, none, PcscdReply::kAnswered, true, ServiceStartType::kDisabled,
       ServiceRunState::kRunning},
      // No units at all, but something serves pcscd's socket.
      {none, none, PcscdReply::kAnswered, true, ServiceStartType::kUnknown, ServiceRunState::kRunning},
      {none, none, PcscdReply::kNoAnswer, true, ServiceStartType::kUnknown, ServiceRunState::kNotAnswering},
      {none, none, PcscdReply::kRefused, false, ServiceStartType::kUnknown, ServiceRunState::kUnknown},
      {none, none, PcscdReply::kNotAsked, false, ServiceStartType::kUnknown, ServiceRunState::kUnknown},
  };
  for (const Case& c : cases) {
    const auto status = StatusFromSystemdUnits(c.service, c.socket, c.reply);
    const std::string trace = c.service.fileState + "/" + c.service.activeState + " " + c.socket.fileState + "/" +
                              c.socket.activeState + " reply " + std::to_string(static_cast<int>(c.reply));
    EXPECT_EQ(status.installed, c.installed) << trace;
    EXPECT_EQ(status.startType, c.start) << trace;
    EXPECT_EQ(status.runState, c.run) << trace;
  }
}

TEST(ServiceStateTest, SocketProbeWantsAnAnswerNotJustAConnection) {
  struct Case {
    PcscdSocketStandIn::Mode mode;
    PcscdReply reply;  // what the caller's own call saw
    ServiceRunState run;
  } const cases[] = {
      {PcscdSocketStandIn::Mode::kAbsent, PcscdReply::kNotAsked, ServiceRunState::kStopped},
      // A stopped pcscd's listen queue still takes the connection.
      {PcscdSocketStandIn::Mode::kSilent, PcscdReply::kNotAsked, ServiceRunState::kNotAnswering},
      {PcscdSocketStandIn::Mode::kAnswering, PcscdReply::kNotAsked, ServiceRunState::kRunning},
      // A caller whose own call was answered, or was not, knows better than the probe.
      {PcscdSocketStandIn::Mode::kAbsent, PcscdReply::kAnswered, ServiceRunState::kRunning},
      {PcscdSocketStandIn::Mode::kAnswering, PcscdReply::kNoAnswer, ServiceRunState::kNotAnswering},
  };
  const testing_support::TempDir root;  // no pcscd program installed
  setenv("VELKARO_SYSTEM_ROOT", root.path().c_str(), 1);
  for (const Case& c : cases) {
    const PcscdSocketStandIn pcscd(c.mode);
    const auto status = velkaro::SocketProbeServiceControl().QuerySmartCardService(c.reply);
    EXPECT_EQ(status.runState, c.run) << static_cast<int>(c.mode) << " " << static_cast<int>(c.reply);
    EXPECT_EQ(status.installed, c.run != ServiceRunState::kStopped) << static_cast<int>(c.mode);
    EXPECT_EQ(status.startType, ServiceStartType::kUnknown);
  }

  std::uint32_t state = 0;
  EXPECT_FALSE(velkaro::SocketProbeServiceControl().QueryServiceState("ScardSvr", state));
  unsetenv("VELKARO_SYSTEM_ROOT");
  EXPECT_EQ(velkaro::PcscdSocketPath(), "/run/pcscd/pcscd.comm");
}
