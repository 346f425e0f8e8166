#pragma once
// Settings stores of a test's own: points VELKARO_REGISTRY and
// VELKARO_USER_REGISTRY at files in a fresh directory for the fixture's life
// and restores the environment afterwards. The directory is on a memory file
// system when there is one, so tests that write thousands of times do not
// wait for the disk's fsync.

#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "temp_dir.h"

namespace testing_support {

inline std::filesystem::path FastTempBase() {
  std::error_code error;
  if (std::filesystem::is_directory("/dev/shm", error) && ::access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
  return std::filesystem::temp_directory_path();
}

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : m_name(name) {
    if (const char* old = std::getenv(name)) m_old = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (m_old) {
      ::setenv(m_name, m_old->c_str(), 1);
    } else {
      ::unsetenv(m_name);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* m_name;
  std::optional<std::string> m_old;
};

class RegistryStores {
 public:
  RegistryStores()
      : m_dir(FastTempBase()),
        m_machine("VELKARO_REGISTRY", m_dir / "etc/registry.reg"),
        m_user("VELKARO_USER_REGISTRY", m_dir / "home/user.reg") {}
  ~RegistryStores() {
    if (m_restore) m_restore();
  }

  const TempDir& Dir() const { return m_dir; }
  std::string MachinePath() const { return m_dir / "etc/registry.reg"; }
  std::string UserPath() const { return m_dir / "home/user.reg"; }

  // Writes the machine store's file byte for byte.
  void WriteMachine(std::string_view content) const { m_dir.Write("etc/registry.reg", content); }
  std::string ReadMachine() const { return ReadFile(MachinePath()); }

  // Takes the right to write the store away from an unprivileged process:
  // root may write anything, so for root the directory is only opened for
  // others to read, and RunInChild drops to "nobody"; anyone else gets a
  // read-only file and directory. Undone when the fixture goes.
  void MakeReadOnlyForChildren() {
    const auto etc = m_dir.path() / "etc";
    if (::geteuid() == 0) {
      ::chmod(m_dir.path().c_str(), 0755);
    } else {
      ::chmod(MachinePath().c_str(), 0444);
      ::chmod(etc.c_str(), 0555);
      m_restore = [etc] { ::chmod(etc.c_str(), 0755); };
    }
  }
  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  TempDir m_dir;
  ScopedEnv m_machine;
  ScopedEnv m_user;
  std::function<void()> m_restore;
};

// While it lives, no file of this process may grow beyond `bytes`: a write
// of the settings store's new file fails part-way, as on a full disk.
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(rlim_t bytes) : m_oldHandler(std::signal(SIGXFSZ, SIG_IGN)) {
    ::getrlimit(RLIMIT_FSIZE, &m_old);
    const rlimit limit{bytes, m_old.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~ScopedFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &m_old);
    std::signal(SIGXFSZ, m_oldHandler);
  }
  ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
  ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

 private:
  rlimit m_old{};
  void (*m_oldHandler)(int);
};

// Starts `body` in a forked child, which exits with its result. With
// `unprivileged`, a root child first becomes "nobody", so that file
// permissions apply to it.
inline pid_t StartChild(const std::function<int()>& body, bool unprivileged = false) {
  const pid_t child = ::fork();
  if (child != 0) return child;
  constexpr uid_t kNobody = 65534;
  if (unprivileged && ::geteuid() == 0 &&
      (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
    ::_exit(126);
  }
  ::_exit(body());
}

// The child's exit status, or -1 when it did not exit normally.
inline int WaitChild(pid_t child) {
  int status = 0;
  if (child < 0 || ::waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline int RunInChild(const std::function<int()>& body, bool unprivileged = false) {
  return WaitChild(StartChild(body, unprivileged));
}

// Another user: a process running as nobody that takes an exclusive flock on
// each of `paths` it can open, the first without fail, and holds them until
// it is killed. Answers once the locks are held; -1 when the first is not.
inline pid_t StartLockHolderAsNobody(const std::vector<std::string>& paths) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t child = StartChild(
      [&] {
        for (std::size_t i = 0; i < paths.size(); ++i) {
          const int fd = ::open(paths[i].c_str(), O_RDONLY | O_CLOEXEC);
          if ((fd < 0 || ::flock(fd, LOCK_EX) != 0) && i == 0) return 1;
        }
        if (::write(ready[1], "x", 1) != 1) return 1;
        ::pause();
        return 0;
      },
      true);
  ::close(ready[1]);
  char signal = 0;
  const bool held = ::read(ready[0], &signal, 1) == 1;
  ::close(ready[0]);
  if (!held) WaitChild(child);
  return held ? child : -1;
}

// As WaitChild, but a child still running after `limit` is killed (-1), so
// that a hang fails the test instead of stalling it.
inline int WaitChildWithin(pid_t child, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (child > 0 && ::waitpid(child, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return child > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testing_support
