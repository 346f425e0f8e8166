// systemd's view of pcscd, asked of a stand-in systemd (fake_systemd) on a
// private message bus of the test's own.

#include "platform/systemd_service.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QElapsedTimer>
#include <string>

#include "pcscd_socket_stand_in.h"
#include "stand_in_systemd.h"
#include "temp_dir.h"

using velkaro::ServiceRunState;
using velkaro::ServiceStartType;
using velkaro::SmartCardServiceStatus;

namespace {

class SystemdServiceTest : public ::testing::Test {
 protected:
  SystemdServiceTest() {
    unsetenv("PCSCLITE_CSOCK_NAME");  // it would bypass systemd
    // pcscd's program is installed, so the socket probe never says "not installed".
    root.Write("usr/sbin/pcscd", "");
    setenv("VELKARO_SYSTEM_ROOT", root.path().c_str(), 1);
  }
  ~SystemdServiceTest() override { unsetenv("VELKARO_SYSTEM_ROOT"); }

  void StartBus() {
    std::string error;
    ASSERT_TRUE(standIn.StartBus(error)) << error;
    address = standIn.Address();
  }

  // mode: the delay of every answer in milliseconds, or "silent".
  void StartSystemd(const char* mode, const char* units = "running") {
    std::string error;
    ASSERT_TRUE(standIn.StartSystemd(mode, error, units)) << error;
  }

  // The status and how long the check took.
  std::pair<SmartCardServiceStatus, qint64> Check(velkaro::PcscdReply reply = velkaro::PcscdReply::kNotAsked) {
    velkaro::SystemdServiceControl control(address);
    QElapsedTimer clock;
    clock.start();
    const SmartCardServiceStatus status = control.QuerySmartCardService(reply);
    return {status, clock.elapsed()};
  }

  static void ExpectSocketProbeAnswer(const SmartCardServiceStatus& status) {
    const SmartCardServiceStatus probe = velkaro::SocketProbeServiceControl().QuerySmartCardService(false);
    EXPECT_TRUE(status.installed);
    EXPECT_EQ(status.startType, ServiceStartType::kUnknown);
    EXPECT_EQ(status.runState, probe.runState);
  }

  testing_support::TempDir root;
  testing_support::StandInSystemd standIn;
  std::string address;
};

}  // namespace

TEST_F(SystemdServiceTest, SlowAnswerWithinTheTimeOutGivesTheUnitFacts) {
  ASSERT_NO_FATAL_FAILURE(StartBus());
  ASSERT_NO_FATAL_FAILURE(StartSystemd("100"));
  const auto [status, elapsed] = Check();
  EXPECT_TRUE(status.installed);
  EXPECT_EQ(status.startType, ServiceStartType::kAutomatic);
  EXPECT_EQ(status.runState, ServiceRunState::kRunning);
  EXPECT_GE(elapsed, 100);
  EXPECT_LT(elapsed, velkaro::kSystemdCallTimeoutMs);
}

TEST_F(SystemdServiceTest, NoOrSilentSystemdFallsBackToTheSocketProbeWithinOneTimeOut) {
  ASSERT_NO_FATAL_FAILURE(StartBus());
  {
    SCOPED_TRACE("no systemd on the bus");
    const auto [status, elapsed] = Check();
    ExpectSocketProbeAnswer(status);
    EXPECT_LT(elapsed, velkaro::kSystemdCallTimeoutMs);
  }
  ASSERT_NO_FATAL_FAILURE(StartSystemd("silent"));
  {
    SCOPED_TRACE("silent systemd");
    const auto [status, elapsed] = Check();
    ExpectSocketProbeAnswer(status);
    EXPECT_GE(elapsed, velkaro::kSystemdCallTimeoutMs - 50);  // it did wait for an answer
    EXPECT_LT(elapsed, velkaro::kSystemdCallTimeoutMs + 250);
  }
}

// pcscd run by hand (pcscd -f -d) after the units were stopped: the units
// give the start type, pcscd's socket whether it runs.
TEST_F(SystemdServiceTest, StoppedUnitsWithPcscdStartedByHand) {
  using Mode = testing_support::PcscdSocketStandIn::Mode;
  using velkaro::PcscdReply;
  ASSERT_NO_FATAL_FAILURE(StartBus());
  ASSERT_NO_FATAL_FAILURE(StartSystemd("0", "stopped"));
  struct Case {
    Mode socket;
    PcscdReply reply;
    ServiceRunState run;
  } const cases[] = {
      {Mode::kAbsent, PcscdReply::kNotAsked, ServiceRunState::kStopped},
      {Mode::kAnswering, PcscdReply::kNotAsked, ServiceRunState::kRunning},
      {Mode::kSilent, PcscdReply::kNotAsked, ServiceRunState::kNotAnswering},
      {Mode::kAbsent, PcscdReply::kAnswered, ServiceRunState::kRunning},  // the caller's own call was answered
  };
  for (const Case& c : cases) {
    const testing_support::PcscdSocketStandIn pcscd(c.socket);
    const auto status = Check(c.reply).first;
    EXPECT_TRUE(status.installed);
    EXPECT_EQ(status.startType, ServiceStartType::kAutomatic);
    EXPECT_EQ(status.runState, c.run) << static_cast<int>(c.socket) << " " << static_cast<int>(c.reply);
  }
}
