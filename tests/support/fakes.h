#pragma once
// Recording fakes of the platform services. Each installs itself for its own
// lifetime and restores the previous service when it goes.

#include <cerrno>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/log_files.h"
#include "platform/services.h"

namespace testing_support {

struct ShownMessage {
  std::string text;
  std::string caption;
  unsigned style;
};

class RecordingMessageBox final : public velkaro::IMessageBox {
 public:
  RecordingMessageBox() : m_scope(*this, &velkaro::MessageBoxService, &velkaro::InstallMessageBox) {}

  int Show(const std::string& text, const std::string& caption, unsigned style) override {
    std::lock_guard lock(m_mutex);
    m_shown.push_back({text, caption, style});
    return m_answer;
  }

  std::vector<ShownMessage> Shown() const {
    std::lock_guard lock(m_mutex);
    return m_shown;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& m : Shown()) texts.push_back(m.text);
    return texts;
  }
  void SetAnswer(int answer) { m_answer = answer; }

 private:
  mutable std::mutex m_mutex;
  std::vector<ShownMessage> m_shown;
  int m_answer = velkaro::IDOK;
  velkaro::ScopedService<velkaro::IMessageBox> m_scope;
};

class FakeSaveFileDialog final : public velkaro::ISaveFileDialog {
 public:
  FakeSaveFileDialog() : m_scope(*this, &velkaro::SaveFileDialog, &velkaro::InstallSaveFileDialog) {}

  std::optional<std::string> Ask(const velkaro::SaveFileRequest& request) override {
    requests.push_back(request);
    return answer;
  }

  std::vector<velkaro::SaveFileRequest> requests;
  std::optional<std::string> answer;  // nothing = the user cancels

 private:
  velkaro::ScopedService<velkaro::ISaveFileDialog> m_scope;
};

class RecordingDebugOutput final : public velkaro::IDebugOutput {
 public:
  RecordingDebugOutput() : m_scope(*this, &velkaro::DebugOutput, &velkaro::InstallDebugOutput) {}

  void Write(std::string_view line) override {
    std::lock_guard lock(m_mutex);
    m_lines.emplace_back(line);
  }
  std::vector<std::string> Lines() const {
    std::lock_guard lock(m_mutex);
    return m_lines;
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_lines;
  velkaro::ScopedService<velkaro::IDebugOutput> m_scope;
};

class FakeSystemInfo final : public velkaro::ISystemInfo {
 public:
  FakeSystemInfo() : m_scope(*this, &velkaro::SystemInfo, &velkaro::InstallSystemInfo) {
    version = velkaro::OsVersionRecord{velkaro::VER_PLATFORM_LINUX, 6, 1, 0, "6.1.0-test", "Debian GNU/Linux 12"};
  }

  bool IsUserAnAdmin() override { return admin; }
  std::string ModulePath() override { return modulePath; }
  std::optional<velkaro::OsVersionRecord> QueryVersion(long& error) override {
    error = version ? 0 : versionError;
    return version;
  }

  // Records the exit instead of ending the test program.
  void ExitProcess(int status) override { exitStatus = status; }

  // A Windows record with the given platform and version.
  void SetWindows(std::uint32_t platformId, std::uint32_t major, std::uint32_t minor,
                  std::string servicePack = {}, std::uint32_t build = 0) {
    version = velkaro::OsVersionRecord{platformId, major, minor, build, std::move(servicePack), {}};
  }

  bool admin = true;
  std::string modulePath = "/nonexistent/velkaro-diag";
  std::optional<velkaro::OsVersionRecord> version;
  long versionError = 87;
  std::optional<int> exitStatus;

 private:
  velkaro::ScopedService<velkaro::ISystemInfo> m_scope;
};

// The log's files on a disk of `capacity` bytes: a write that does not fit
// puts what fits and fails with ENOSPC. `onWrite` sees each write first.
// The bytes go to the real files.
class FakeLogFileSystem final : public velkaro::ILogFileSystem {
 public:
  FakeLogFileSystem()
      : m_real(velkaro::LogFileSystem()), m_scope(*this, &velkaro::LogFileSystem, &velkaro::InstallLogFileSystem) {}

  int Open(const std::string& path, velkaro::LogOpenMode mode, velkaro::LogFileHandle& handle,
           std::string& reason) override {
    return m_real.Open(path, mode, handle, reason);
  }
  int SeekToEnd(velkaro::LogFileHandle handle) override { return m_real.SeekToEnd(handle); }
  int Write(velkaro::LogFileHandle handle, std::string_view bytes) override {
    if (onWrite) onWrite(bytes);
    const std::size_t room = capacity - written;
    if (bytes.size() > room) {
      m_real.Write(handle, bytes.substr(0, room));
      written = capacity;
      return ENOSPC;
    }
    written += bytes.size();
    return m_real.Write(handle, bytes);
  }
  int Close(velkaro::LogFileHandle handle) override { return m_real.Close(handle); }

  std::size_t capacity = std::numeric_limits<std::size_t>::max();
  std::size_t written = 0;
  std::function<void(std::string_view)> onWrite;

 private:
  velkaro::ILogFileSystem& m_real;
  velkaro::ScopedService<velkaro::ILogFileSystem> m_scope;
};

}  // namespace testing_support
