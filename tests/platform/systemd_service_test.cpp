// systemd's view of pcscd, asked of a stand-in systemd (fake_systemd) on a
// private message bus of the test's own.

#include "platform/systemd_service.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QElapsedTimer>
#include <string>

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
  void StartSystemd(const char* mode) {
    std::string error;
    ASSERT_TRUE(standIn.StartSystemd(mode, error)) << error;
  }

  // The status and how long the check took.
  std::pair<SmartCardServiceStatus, qint64> Check() {
    velkaro::SystemdServiceControl control(address);
    QElapsedTimer clock;
    clock.start();
    const SmartCardServiceStatus status = control.QuerySmartCardService(false);
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
