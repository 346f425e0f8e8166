#pragma once
// A private message bus with a stand-in systemd on it (fake_systemd), for
// the service check's tests and benchmarks. Both processes go with the
// object. Needs dbus-daemon, and VELKARO_FAKE_SYSTEMD and VELKARO_BUS_CONFIG
// defined by the build.
//
// The processes are started with a plain fork and exec, which the thread
// checker follows; a process started through Qt made it lose the ordering
// of the window's thread's later locks (reports in our own code, gone with
// the stand-in started this way).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

// A child process whose standard output is read line by line.
class ChildWithOutput {
 public:
  ChildWithOutput() = default;
  ~ChildWithOutput() {
    if (m_pid > 0) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) ::close(m_out);
  }
  ChildWithOutput(const ChildWithOutput&) = delete;
  ChildWithOutput& operator=(const ChildWithOutput&) = delete;

  bool Start(const std::vector<std::string>& args) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    m_pid = ::fork();
    if (m_pid == 0) {
      ::dup2(pipeFds[1], STDOUT_FILENO);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    m_out = pipeFds[0];
    return m_pid > 0;
  }

  // The next line of its output, without the line end; nothing when none
  // came within `timeout`.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string line;
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd readable{m_out, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
      char c = 0;
      if (::read(m_out, &c, 1) != 1) return std::nullopt;
      if (c == '\n') return line;
      line += c;
    }
  }

 private:
  pid_t m_pid = -1;
  int m_out = -1;
};

class StandInSystemd {
 public:
  StandInSystemd() = default;
  StandInSystemd(const StandInSystemd&) = delete;
  StandInSystemd& operator=(const StandInSystemd&) = delete;

  // Starts the bus; the address is empty and `error` says why on failure.
  bool StartBus(std::string& error) {
    if (!m_bus.Start({"dbus-daemon", "--config-file=" VELKARO_BUS_CONFIG, "--nofork", "--print-address=1"})) {
      error = "dbus-daemon could not be started";
      return false;
    }
    const auto address = m_bus.ReadLine(std::chrono::seconds(5));
    if (!address || address->empty()) {
      error = "dbus-daemon did not start (no address within 5 s)";
      return false;
    }
    m_address = *address;
    return true;
  }

  // Starts the stand-in on the bus. `mode`: the delay of every answer in
  // milliseconds, or "silent"; `units`: "running" or "stopped".
  bool StartSystemd(const char* mode, std::string& error, const char* units = "running") {
    if (!m_systemd.Start({VELKARO_FAKE_SYSTEMD, m_address, mode, units})) {
      error = "the stand-in systemd could not be started";
      return false;
    }
    if (m_systemd.ReadLine(std::chrono::seconds(5)) != "ready") {
      error = "the stand-in systemd did not start (see its messages above)";
      return false;
    }
    return true;
  }

  bool Start(const char* mode, std::string& error, const char* units = "running") {
    return StartBus(error) && StartSystemd(mode, error, units);
  }

  const std::string& Address() const { return m_address; }

 private:
  // Declared so that the stand-in goes before its bus.
  ChildWithOutput m_bus;
  ChildWithOutput m_systemd;
  std::string m_address;
};

}  // namespace testing_support
