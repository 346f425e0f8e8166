#pragma once
// Settings stores of a test's own: points VELKARO_REGISTRY and
// VELKARO_USER_REGISTRY at files in a fresh directory for the fixture's life
// and restores the environment afterwards. The directory is on a memory file
// system when there is one, so tests that write thousands of times do not
// wait for the disk's fsync.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>

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

  const TempDir& Dir() const { return m_dir; }
  std::string MachinePath() const { return m_dir / "etc/registry.reg"; }
  std::string UserPath() const { return m_dir / "home/user.reg"; }

  // Writes the machine store's file byte for byte.
  void WriteMachine(std::string_view content) const { m_dir.Write("etc/registry.reg", content); }
  std::string ReadMachine() const { return ReadFile(MachinePath()); }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  TempDir m_dir;
  ScopedEnv m_machine;
  ScopedEnv m_user;
};

}  // namespace testing_support
