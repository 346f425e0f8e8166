#pragma once
// The private pcscd of a GoogleTest program: one sandbox per test process,
// started before the first test and stopped after the last. Every test of a
// program discovered by gtest_discover_tests runs in a process of its own, so
// each test starts from the scenario as written.
//
//   // At namespace scope of a test file:
//   const auto* const g_environment =
//       testing_support::PcscdSandboxEnvironment::Install(VELKARO_TEST_DATA "/sim/driver");
//
//   TEST(ReaderTest, RemovalEmptiesTheReader) {
//     VELKARO_REQUIRE_SANDBOX();
//     auto& sandbox = testing_support::Sandbox();
//     testing_support::RunSim({"remove", "ct200"});
//     EXPECT_TRUE(sandbox.WaitForState(sandbox.ReaderName("VELKARO CT 200"),
//                                      testing_support::HasState(SCARD_STATE_EMPTY)));
//   }

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "pcscd_sandbox.h"
#include "vpcd_card_process.h"

namespace testing_support {

// Owns the sandbox of a test program; installed at namespace scope.
class PcscdSandboxEnvironment : public ::testing::Environment {
 public:
  // Copies the scenario directory, and the given extra files, into the sandbox.
  static PcscdSandboxEnvironment* Install(const std::string& scenarioDirectory,
                                         std::map<std::string, std::string> extraFiles = {});

  // The driver's settings store; set before the tests start.
  void UseSettingsStore(const std::string& path) { m_sandbox.UseSettingsStore(path); }
  // Adds vsmartcard's vpcd reader with the cards of its two slots (ATRs;
  // `secondAtr` empty: the same card), started before pcscd. Without the
  // driver installed the tests skip.
  PcscdSandboxEnvironment* WithVpcdCard(std::string atr, std::string secondAtr = {});

  void SetUp() override;
  void TearDown() override;

  PcscdSandbox& Sandbox() { return m_sandbox; }
  VpcdCard& Card() { return m_card; }
  // Why the sandbox does not run; empty when it does.
  const std::string& Problem() const { return m_problem; }
  // False when this machine cannot run a sandbox at all (not root, no
  // pcscd): the tests then skip rather than fail.
  bool Possible() const { return m_possible; }

 private:
  PcscdSandboxEnvironment(std::string scenarioDirectory, std::map<std::string, std::string> extraFiles);

  std::string m_scenarioDirectory;
  std::map<std::string, std::string> m_extraFiles;
  std::vector<std::string> m_vpcdAtrs;  // empty: no vpcd reader
  VpcdCard m_card;  // before the sandbox: pcscd stops while the card still answers
  PcscdSandbox m_sandbox;
  std::string m_problem = "not started";
  bool m_possible = true;
};

PcscdSandbox& Sandbox();
PcscdSandboxEnvironment& SandboxEnvironment();

// A velkaro-sim command on the sandbox's scenario; a refusal fails the test
// with the command's messages.
velkaro::sim::CommandResult RunSim(const std::vector<std::string>& args);

}  // namespace testing_support

// Skips the test on a machine that cannot run the sandbox (no root, no
// pcscd); fails it when the sandbox should have started and did not.
#define VELKARO_REQUIRE_SANDBOX()                                                        \
  do {                                                                                   \
    auto& velkaroEnvironment = ::testing_support::SandboxEnvironment();                  \
    if (!velkaroEnvironment.Possible())                                                  \
      GTEST_SKIP() << "no private pcscd here: " << velkaroEnvironment.Problem();         \
    ASSERT_EQ(velkaroEnvironment.Problem(), "") << "the private pcscd did not start";    \
  } while (false)
