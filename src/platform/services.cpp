#include "platform/services.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace velkaro {
namespace {

class LinuxSystemInfo final : public ISystemInfo {
 public:
  bool IsUserAnAdmin() override { return ::geteuid() == 0; }

  std::string ModulePath() override {
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : path.string();
  }

  // The running kernel and the system's name are read once: the General page
  // checks the system every second, and neither changes under a running
  // program (an upgrade's new name counts from the next start).
  std::optional<OsVersionRecord> QueryVersion(long& error) override {
    std::lock_guard lock(m_versionLock);
    if (!m_version) {
      errno = 0;
      m_version = QueryLinuxVersion();
      if (!m_version) {
        error = errno;
        return std::nullopt;
      }
    }
    error = 0;
    return m_version;
  }

  void ExitProcess(int status) override { std::exit(status); }

 private:
  std::mutex m_versionLock;
  std::optional<OsVersionRecord> m_version;
};

// Without a window system the answer is always OK; the text goes to stderr so
// that command-line tools still show it.
class ConsoleMessageBox final : public IMessageBox {
 public:
  int Show(const std::string& text, const std::string& caption, unsigned style) override {
    std::fprintf(stderr, "%s%s%s\n", caption.c_str(), caption.empty() ? "" : ": ", text.c_str());
    return (style & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
  }
};

class NoSaveFileDialog final : public ISaveFileDialog {
 public:
  std::optional<std::string> Ask(const SaveFileRequest&) override { return std::nullopt; }
};

// One line to stderr when VELKARO_DEBUG is set, nothing otherwise.
class NoProgressDialog final : public IProgressDialog {
 public:
  void Open(const std::string&, const std::string&, std::function<void()>) override {}
  void SetStep(const std::string&) override {}
  void Raise() override {}
  void Close() override {}
};

class StderrDebugOutput final : public IDebugOutput {
 public:
  void Write(std::string_view line) override {
    if (!m_enabled) return;
    std::lock_guard lock(m_mutex);
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
  }

 private:
  const bool m_enabled = std::getenv("VELKARO_DEBUG") != nullptr;
  std::mutex m_mutex;
};

// Never destroyed: a thread left inside a driver's call may still ask for a
// service while the process ends.
template <typename Interface, typename Default>
struct Slot {
  Default fallback;
  std::atomic<Interface*> current{&fallback};

  Interface& Get() { return *current.load(std::memory_order_acquire); }
  void Set(Interface* service) { current.store(service ? service : &fallback, std::memory_order_release); }
};

Slot<ISystemInfo, LinuxSystemInfo>& SystemSlot() {
  static auto* const slot = new Slot<ISystemInfo, LinuxSystemInfo>;
  return *slot;
}
Slot<IMessageBox, ConsoleMessageBox>& MessageBoxSlot() {
  static auto* const slot = new Slot<IMessageBox, ConsoleMessageBox>;
  return *slot;
}
Slot<ISaveFileDialog, NoSaveFileDialog>& SaveDialogSlot() {
  static auto* const slot = new Slot<ISaveFileDialog, NoSaveFileDialog>;
  return *slot;
}
Slot<IProgressDialog, NoProgressDialog>& ProgressSlot() {
  static auto* const slot = new Slot<IProgressDialog, NoProgressDialog>;
  return *slot;
}
Slot<IDebugOutput, StderrDebugOutput>& DebugSlot() {
  static auto* const slot = new Slot<IDebugOutput, StderrDebugOutput>;
  return *slot;
}

}  // namespace

ISystemInfo& SystemInfo() { return SystemSlot().Get(); }
IMessageBox& MessageBoxService() { return MessageBoxSlot().Get(); }
ISaveFileDialog& SaveFileDialog() { return SaveDialogSlot().Get(); }
IProgressDialog& ProgressDialog() { return ProgressSlot().Get(); }
IDebugOutput& DebugOutput() { return DebugSlot().Get(); }

void InstallSystemInfo(ISystemInfo* service) { SystemSlot().Set(service); }
void InstallMessageBox(IMessageBox* service) { MessageBoxSlot().Set(service); }
void InstallSaveFileDialog(ISaveFileDialog* service) { SaveDialogSlot().Set(service); }
void InstallProgressDialog(IProgressDialog* service) { ProgressSlot().Set(service); }
void InstallDebugOutput(IDebugOutput* service) { DebugSlot().Set(service); }

int ShowMessageBox(const std::string& text, const std::string& caption, unsigned style) {
  return MessageBoxService().Show(text, caption, style);
}

bool IsUserAnAdmin() { return SystemInfo().IsUserAnAdmin(); }

void OutputDebugString(std::string_view line) { DebugOutput().Write(line); }

}  // namespace velkaro
