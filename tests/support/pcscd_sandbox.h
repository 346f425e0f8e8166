#pragma once
// A private pcscd with the simulated reader driver, for test programs that
// need real readers: readers and cards come from scenario files (and, for a
// driver nobody here wrote, from vsmartcard's vpcd), changes go
// through the velkaro-sim commands, and pcscd runs in a mount namespace of
// its own (scripts/pcscd-sandbox), so test programs run side by side and the
// host's pcscd is never touched. Needs root; without it Start fails and the
// tests skip.
//
// One sandbox per test process: pcsc-lite's client reads PCSCLITE_CSOCK_NAME
// once, before its first call, and pcscd cannot add readers while it runs.
// gtest_discover_tests runs every test in a process of its own, so each test
// gets a fresh pcscd and the scenario as written.
//
// GoogleTest programs use it through sandbox_environment.h.

#include <PCSC/winscard.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "temp_dir.h"
#include "tool/sim_commands.h"

namespace testing_support {

using namespace std::chrono_literals;

// A PC/SC context released by its owner.
class ScopedContext {
 public:
  ScopedContext();
  ~ScopedContext();
  ScopedContext(const ScopedContext&) = delete;
  ScopedContext& operator=(const ScopedContext&) = delete;

  bool IsValid() const { return m_result == SCARD_S_SUCCESS; }
  LONG Result() const { return m_result; }
  SCARDCONTEXT Get() const { return m_context; }

 private:
  SCARDCONTEXT m_context = 0;
  LONG m_result;
};

class PcscdSandbox {
 public:
  PcscdSandbox();
  ~PcscdSandbox();
  PcscdSandbox(const PcscdSandbox&) = delete;
  PcscdSandbox& operator=(const PcscdSandbox&) = delete;

  // Before Start: the scenario. Files are written atomically. Each answers
  // an error text, or nothing.
  std::optional<std::string> CopyScenario(const std::string& directory);
  std::optional<std::string> WriteReader(const std::string& fileName, std::string_view content);
  // Before Start: vsmartcard's vpcd reader ("Virtual PCD", two slots) beside
  // the scenario's readers, its slots connecting to a card on 127.0.0.1 at
  // `port` and `port` + 1 (VpcdCard). The driver is copied into the sandbox.
  void AddVpcdReader(unsigned port) { m_vpcdPort = port; }
  // The settings store the driver reads; by default a store of the sandbox's
  // own (SettingsStore()), which starts empty.
  void UseSettingsStore(const std::string& path) { m_settingsStore = path; }
  std::string SettingsStore() const { return m_settingsStore.empty() ? Directory() + "/registry.reg" : m_settingsStore; }

  // Starts pcscd and points this process at it: PCSCLITE_CSOCK_NAME for the
  // PC/SC client, VELKARO_REGISTRY for the settings store, so that what the
  // process writes there is what the driver reads. Answers an error text, or
  // nothing when the readers are ready.
  std::optional<std::string> Start();
  // Stops pcscd; Start brings it back on the same scenario as it stands then
  // (clients keep their PCSCLITE_CSOCK_NAME, so they find the new pcscd).
  void Stop();
  bool IsRunning() const { return m_pid > 0; }
  // pcscd's process id while it runs (benchmarks stop it and read its load).
  pid_t Pid() const { return m_pid; }

  std::string Directory() const { return m_dir.path().string(); }
  std::string ScenarioDir() const { return Directory() + "/scenario"; }
  std::string SocketPath() const { return Directory() + "/run/pcscd.comm"; }
  std::string Log() const;

  // A velkaro-sim command on this sandbox's scenario.
  velkaro::sim::CommandResult Sim(const std::vector<std::string>& args) const;

  std::vector<std::string> ListReaders() const;
  // The PC/SC name of a reader ("VELKARO CT 200" -> "VELKARO CT 200 02 00"),
  // by its configured name and slot; empty when pcscd does not list it.
  std::string ReaderName(std::string_view name, unsigned slot = 0) const;

  // Waits until the reader's event state satisfies `want`; answers the event
  // state then, or nothing after the time-out.
  std::optional<DWORD> WaitForState(const std::string& reader, const std::function<bool(DWORD)>& want,
                                    std::chrono::milliseconds timeout = 5s) const;
  // The same with the whole reader state (event state, ATR); the state's
  // reader name points into `reader`.
  std::optional<SCARD_READERSTATE> WaitForReader(const std::string& reader,
                                                 const std::function<bool(const SCARD_READERSTATE&)>& want,
                                                 std::chrono::milliseconds timeout = 5s) const;

 private:
  // How many PC/SC names the scenario's readers give (one per slot).
  std::size_t ExpectedReaderCount() const;

  TempDir m_dir;
  std::string m_settingsStore;
  pid_t m_pid = -1;
  unsigned m_vpcdPort = 0;  // 0: no vpcd reader
};

// vsmartcard's vpcd driver as Debian installs it, and the name pcscd gives
// its readers.
inline constexpr char kVpcdDriver[] = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so";
inline constexpr char kVpcdReaderName[] = "Virtual PCD";

// Conditions for WaitForState.
std::function<bool(DWORD)> HasState(DWORD bits);
std::function<bool(DWORD)> LacksState(DWORD bits);

}  // namespace testing_support
