#include "vpcd_card_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace testing_support {

namespace {

constexpr int kStartTimeoutMs = 5000;  // until the card has told its port
constexpr std::size_t kMaxPortLine = 16;

}  // namespace

VpcdCard::~VpcdCard() { Kill(); }

std::optional<std::string> VpcdCard::Start(const std::string& atr, const std::string& secondAtr, unsigned port) {
  Kill();
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return std::string("vpcd_card: pipe failed: ") + std::strerror(errno);
  std::vector<std::string> args = {VELKARO_VPCD_CARD, "--atr", atr};
  if (!secondAtr.empty()) args.insert(args.end(), {"--atr", secondAtr});
  if (port != 0) args.insert(args.end(), {"--port", std::to_string(port)});
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    close(pipeFds[0]);
    close(pipeFds[1]);
    return std::string("vpcd_card: fork failed: ") + std::strerror(errno);
  }
  if (pid == 0) {
    // SIGKILL, not SIGTERM: a stopped card must go with the test too.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    dup2(pipeFds[1], STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  m_pid = pid;

  // The first line is the port; nothing (or no line in time) is a failure.
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (line.find('\n') == std::string::npos && line.size() < kMaxPortLine) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd fd{pipeFds[0], POLLIN, 0};
    if (left <= 0 || poll(&fd, 1, static_cast<int>(left)) <= 0) break;
    char c = 0;
    if (read(pipeFds[0], &c, 1) != 1) break;
    line += c;
  }
  close(pipeFds[0]);
  const unsigned long told = line.find('\n') == std::string::npos ? 0 : std::strtoul(line.c_str(), nullptr, 10);
  if (told == 0 || told > 65534 || (port != 0 && told != port)) {
    Kill();
    return "vpcd_card " + atr + " did not start listening (" VELKARO_VPCD_CARD "); see its messages above";
  }
  m_port = static_cast<unsigned>(told);
  return std::nullopt;
}

void VpcdCard::Kill() {
  if (m_pid <= 0) return;
  kill(m_pid, SIGKILL);
  waitpid(m_pid, nullptr, 0);
  m_pid = -1;
}

bool VpcdCard::Pause() {
  // Stopped for sure once this returns, not merely signalled.
  int status = 0;
  return m_pid > 0 && kill(m_pid, SIGSTOP) == 0 && waitpid(m_pid, &status, WUNTRACED) == m_pid && WIFSTOPPED(status);
}

bool VpcdCard::Resume() { return m_pid > 0 && kill(m_pid, SIGCONT) == 0; }

}  // namespace testing_support
