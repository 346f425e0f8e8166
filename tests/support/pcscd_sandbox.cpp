#include "pcscd_sandbox.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "scenario/scenario_document.h"

namespace testing_support {

namespace {

namespace fs = std::filesystem;

constexpr auto kStartTimeout = 10s;
constexpr auto kStopTimeout = 5s;
constexpr auto kWaitSlice = 100ms;  // WaitForReader's longest single wait

bool WaitForExit(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

}  // namespace

ScopedContext::ScopedContext() : m_result(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &m_context)) {}

ScopedContext::~ScopedContext() {
  if (IsValid()) SCardReleaseContext(m_context);
}

PcscdSandbox::PcscdSandbox() { fs::create_directories(ScenarioDir()); }

PcscdSandbox::~PcscdSandbox() { Stop(); }

std::optional<std::string> PcscdSandbox::CopyScenario(const std::string& directory) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    if (entry.path().extension() != velkaro::sim::kScenarioExtension) continue;
    fs::copy_file(entry.path(), ScenarioDir() + "/" + entry.path().filename().string(),
                  fs::copy_options::overwrite_existing, error);
    if (error) break;
  }
  if (error) return "cannot copy the scenario " + directory + ": " + error.message();
  return std::nullopt;
}

std::optional<std::string> PcscdSandbox::WriteReader(const std::string& fileName, std::string_view content) {
  return velkaro::sim::WriteFileAtomically(ScenarioDir() + "/" + fileName, content);
}

std::size_t PcscdSandbox::ExpectedReaderCount() const {
  // One reader.conf entry per scenario file, one PC/SC name per slot.
  std::size_t count = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(ScenarioDir(), error)) {
    if (entry.path().extension() != ".reader") continue;
    std::ifstream in(entry.path());
    std::ostringstream text;
    text << in.rdbuf();
    const auto parsed = velkaro::sim::ParseScenario(text.str());
    count += parsed.scenario ? parsed.scenario->reader.slots : 1;
  }
  return count + (m_vpcdPort != 0 ? 2 : 0);  // vpcd always presents two slots
}

std::optional<std::string> PcscdSandbox::Start() {
  if (IsRunning()) return std::nullopt;
  const std::string logPath = Directory() + "/pcscd.log";
  std::vector<std::string> args = {"/bin/bash",  VELKARO_SANDBOX_SCRIPT, "run",      "--dir",
                                   Directory(),  "--scenario",           ScenarioDir(), "--driver",
                                   VELKARO_SIM_DRIVER};
  // VELKARO_SANDBOX_DEBUG=1 puts pcscd's own debug lines into its log.
  if (const char* debug = std::getenv("VELKARO_SANDBOX_DEBUG"); debug && *debug && *debug != '0')
    args.push_back("--debug");
  args.push_back("--registry");
  args.push_back(SettingsStore());
  if (m_vpcdPort != 0) args.insert(args.end(), {"--vpcd", std::to_string(m_vpcdPort), "--vpcd-driver", kVpcdDriver});
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) return "fork failed";
  if (pid == 0) {
    // pcscd goes with the test program, even when the program crashes.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log >= 0) {
      dup2(log, STDOUT_FILENO);
      dup2(log, STDERR_FILENO);
    }
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0) dup2(null, STDIN_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  m_pid = pid;

  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (std::chrono::steady_clock::now() < deadline) {
    struct stat info {};
    if (stat(SocketPath().c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
      setenv("PCSCLITE_CSOCK_NAME", SocketPath().c_str(), 1);
      setenv("VELKARO_REGISTRY", SettingsStore().c_str(), 1);
      // On a busy machine the socket can appear before pcscd lists every
      // reader of reader.conf: wait for all of them.
      const std::size_t expected = ExpectedReaderCount();
      while (ListReaders().size() < expected) {
        if (std::chrono::steady_clock::now() >= deadline) {
          Stop();
          return "pcscd did not list all " + std::to_string(expected) + " readers:\n" + Log();
        }
        std::this_thread::sleep_for(5ms);
      }
      return std::nullopt;
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      m_pid = -1;
      return "pcscd ended before its socket appeared:\n" + Log();
    }
    std::this_thread::sleep_for(5ms);
  }
  Stop();
  return "pcscd's socket did not appear:\n" + Log();
}

void PcscdSandbox::Stop() {
  if (m_pid <= 0) return;
  kill(m_pid, SIGTERM);
  if (!WaitForExit(m_pid, kStopTimeout)) {
    kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
  }
  m_pid = -1;
  // A killed pcscd leaves its socket behind; a later Start must not take it
  // for the new pcscd's.
  std::error_code ignored;
  fs::remove(SocketPath(), ignored);
}

std::string PcscdSandbox::Log() const {
  std::ifstream in(Directory() + "/pcscd.log");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

velkaro::sim::CommandResult PcscdSandbox::Sim(const std::vector<std::string>& args) const {
  return velkaro::sim::RunSimCommand(ScenarioDir(), args);
}

std::vector<std::string> PcscdSandbox::ListReaders() const {
  ScopedContext context;
  if (!context.IsValid()) return {};
  DWORD length = 0;
  if (SCardListReaders(context.Get(), nullptr, nullptr, &length) != SCARD_S_SUCCESS) return {};
  std::string names(length, '\0');
  if (SCardListReaders(context.Get(), nullptr, names.data(), &length) != SCARD_S_SUCCESS) return {};
  std::vector<std::string> readers;
  for (std::size_t at = 0; at < names.size() && names[at] != '\0';) {
    readers.emplace_back(names.c_str() + at);
    at += readers.back().size() + 1;
  }
  return readers;
}

std::string PcscdSandbox::ReaderName(std::string_view name, unsigned slot) const {
  char suffix[8];
  std::snprintf(suffix, sizeof suffix, " %02X", slot);
  for (const std::string& reader : ListReaders())
    if (reader.size() == name.size() + 6 && reader.compare(0, name.size(), name) == 0 &&
        reader.compare(reader.size() - 3, 3, suffix) == 0)
      return reader;
  return {};
}

std::optional<DWORD> PcscdSandbox::WaitForState(const std::string& reader, const std::function<bool(DWORD)>& want,
                                                std::chrono::milliseconds timeout) const {
  const auto state =
      WaitForReader(reader, [&](const SCARD_READERSTATE& s) { return want(s.dwEventState); }, timeout);
  if (!state) return std::nullopt;
  return state->dwEventState;
}

std::optional<SCARD_READERSTATE> PcscdSandbox::WaitForReader(
    const std::string& reader, const std::function<bool(const SCARD_READERSTATE&)>& want,
    std::chrono::milliseconds timeout) const {
  ScopedContext context;
  if (!context.IsValid()) return std::nullopt;
  SCARD_READERSTATE state{};
  state.szReader = reader.c_str();
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return std::nullopt;
    const auto slice = std::min<std::chrono::milliseconds>(left, kWaitSlice);
    const LONG result = SCardGetStatusChange(context.Get(), static_cast<DWORD>(slice.count()), &state, 1);
    if (result == SCARD_E_TIMEOUT) {
      // The client library compares event counters only when the caller's
      // is not 0, and a card present when pcscd started has counter 0: a
      // card swap between two of the library's looks at pcscd then shows no
      // change at all. So the state is read afresh after every slice.
      state.dwCurrentState = SCARD_STATE_UNAWARE;
      continue;
    }
    if (result != SCARD_S_SUCCESS) return std::nullopt;  // pcscd went away
    if (want(state)) return state;
    state.dwCurrentState = state.dwEventState & ~SCARD_STATE_CHANGED;
  }
}

std::function<bool(DWORD)> HasState(DWORD bits) {
  return [bits](DWORD state) { return (state & bits) == bits; };
}

std::function<bool(DWORD)> LacksState(DWORD bits) {
  return [bits](DWORD state) { return (state & bits) == 0; };
}

}  // namespace testing_support
