#include "sandbox_environment.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "platform/deadline.h"

namespace testing_support {

namespace {

PcscdSandboxEnvironment* g_environment = nullptr;

}  // namespace

PcscdSandboxEnvironment::PcscdSandboxEnvironment(std::string scenarioDirectory,
                                                 std::map<std::string, std::string> extraFiles)
    : m_scenarioDirectory(std::move(scenarioDirectory)), m_extraFiles(std::move(extraFiles)) {}

PcscdSandboxEnvironment* PcscdSandboxEnvironment::Install(const std::string& scenarioDirectory,
                                                          std::map<std::string, std::string> extraFiles) {
  g_environment = new PcscdSandboxEnvironment(scenarioDirectory, std::move(extraFiles));
  ::testing::AddGlobalTestEnvironment(g_environment);  // GoogleTest owns it from here
  return g_environment;
}

PcscdSandboxEnvironment* PcscdSandboxEnvironment::WithVpcdCard(std::string atr, std::string secondAtr) {
  m_vpcdAtrs = {std::move(atr), std::move(secondAtr)};
  return this;
}

void PcscdSandboxEnvironment::SetUp() {
  if (geteuid() != 0) {
    m_possible = false;
    m_problem = "the private pcscd needs root (a mount namespace of its own)";
    return;
  }
  if (access("/usr/sbin/pcscd", X_OK) != 0) {
    m_possible = false;
    m_problem = "pcscd is not installed";
    return;
  }
  if (!m_vpcdAtrs.empty() && access(kVpcdDriver, R_OK) != 0) {
    m_possible = false;
    m_problem = std::string("vsmartcard's vpcd driver is not installed (no ") + kVpcdDriver + "; scripts/setup installs it)";
    return;
  }
  std::optional<std::string> problem;
  if (!m_scenarioDirectory.empty()) problem = m_sandbox.CopyScenario(m_scenarioDirectory);
  for (const auto& [name, content] : m_extraFiles)
    if (!problem) problem = m_sandbox.WriteReader(name, content);
  // The driver connects to its card once, when pcscd starts.
  if (!problem && !m_vpcdAtrs.empty()) {
    problem = m_card.Start(m_vpcdAtrs[0], m_vpcdAtrs[1]);
    m_sandbox.AddVpcdReader(m_card.Port());
  }
  if (!problem) problem = m_sandbox.Start();
  m_problem = problem.value_or("");
}

void PcscdSandboxEnvironment::TearDown() {
  // A stopped card holds pcscd's threads in the driver; pcscd must end
  // before the card, whose going would abort it.
  m_card.Resume();
  // Threads that tabs and logs left behind end once their calls are back;
  // the process must not end (and free what they use) before them.
  for (int i = 0; i < 500 && velkaro::RunningAbandonableThreads() > 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  m_sandbox.Stop();
  m_card.Kill();
}

PcscdSandbox& Sandbox() { return SandboxEnvironment().Sandbox(); }

PcscdSandboxEnvironment& SandboxEnvironment() {
  if (!g_environment) {
    std::fprintf(stderr, "no PcscdSandboxEnvironment installed\n");
    std::abort();
  }
  return *g_environment;
}

velkaro::sim::CommandResult RunSim(const std::vector<std::string>& args) {
  velkaro::sim::CommandResult result = Sandbox().Sim(args);
  if (result.exitCode != 0) {
    std::string command;
    for (const std::string& arg : args) command += " " + arg;
    ADD_FAILURE() << "velkaro-sim" << command << " failed:\n" << result.errors;
  }
  return result;
}

}  // namespace testing_support
