#pragma once
// The operating-system services the tool needs, each behind a small interface
// with one Linux implementation. Code calls the free functions below; tests
// install recording fakes with ScopedService so they read message texts and
// answer dialogs instead of blocking.

#include <atomic>
#include <cerrno>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/os_version.h"

namespace velkaro {

// Message box styles and answers, with the values of the Windows API so the
// designed call sites read the same.
inline constexpr unsigned MB_OK = 0x0000;
inline constexpr unsigned MB_OKCANCEL = 0x0001;
inline constexpr unsigned MB_YESNOCANCEL = 0x0003;
inline constexpr unsigned MB_YESNO = 0x0004;
inline constexpr unsigned MB_ICONSTOP = 0x0010;
inline constexpr unsigned MB_ICONERROR = MB_ICONSTOP;
inline constexpr unsigned MB_ICONQUESTION = 0x0020;
inline constexpr unsigned MB_ICONEXCLAMATION = 0x0030;
inline constexpr unsigned MB_ICONWARNING = MB_ICONEXCLAMATION;
inline constexpr unsigned MB_ICONINFORMATION = 0x0040;
inline constexpr unsigned MB_TYPEMASK = 0x000F;
inline constexpr unsigned MB_ICONMASK = 0x00F0;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

class IMessageBox {
 public:
  virtual ~IMessageBox() = default;
  // An empty caption means the application's own name.
  virtual int Show(const std::string& text, const std::string& caption, unsigned style) = 0;
};

struct SaveFileRequest {
  std::string title;
  std::string defaultPath;        // proposed directory and file name
  std::string filter;             // "Log files (*.log);;All files (*)"
  std::string defaultExtension;   // without the dot
};

class ISaveFileDialog {
 public:
  virtual ~ISaveFileDialog() = default;
  // The chosen path, or nothing when the user cancelled.
  virtual std::optional<std::string> Ask(const SaveFileRequest& request) = 0;
};

// A window that shows the step of long work under way with a Cancel button,
// without holding anything: Open returns at once. User-interface thread only.
class IProgressDialog {
 public:
  virtual ~IProgressDialog() = default;
  // Shows the dialog with `step` as its text; `onCancel` runs when the user
  // cancels (the dialog is then closed).
  virtual void Open(const std::string& title, const std::string& step, std::function<void()> onCancel) = 0;
  virtual void SetStep(const std::string& step) = 0;
  // Brings an open dialog to the front.
  virtual void Raise() = 0;
  // Closes without calling `onCancel`; nothing when not open.
  virtual void Close() = 0;
};

class IDebugOutput {
 public:
  virtual ~IDebugOutput() = default;
  // One diagnostic line; may be called from any thread.
  virtual void Write(std::string_view line) = 0;
};

class ISystemInfo {
 public:
  virtual ~ISystemInfo() = default;
  virtual bool IsUserAnAdmin() = 0;
  // Full path of the running executable.
  virtual std::string ModulePath() = 0;
  // The version record; nothing on failure with the error code in `error`.
  virtual std::optional<OsVersionRecord> QueryVersion(long& error) = 0;
  // Ends the process at once with this exit status.
  virtual void ExitProcess(int status) = 0;
};

// The services in use. Before anything is installed they are the Linux
// implementations, with message boxes written to standard error and no
// progress window (the Qt program installs its own at start).
ISystemInfo& SystemInfo();
IMessageBox& MessageBoxService();
ISaveFileDialog& SaveFileDialog();
IProgressDialog& ProgressDialog();
IDebugOutput& DebugOutput();

void InstallSystemInfo(ISystemInfo* service);
void InstallMessageBox(IMessageBox* service);
void InstallSaveFileDialog(ISaveFileDialog* service);
void InstallProgressDialog(IProgressDialog* service);
void InstallDebugOutput(IDebugOutput* service);

// Convenience wrappers with the Win32 names.
int ShowMessageBox(const std::string& text, const std::string& caption = {}, unsigned style = MB_OK);
bool IsUserAnAdmin();
void OutputDebugString(std::string_view line);

// Installs a service for the life of the object and restores the previous one.
template <typename Interface>
class ScopedService {
 public:
  ScopedService(Interface& service, Interface& (*get)(), void (*install)(Interface*))
      : m_previous(&get()), m_install(install) {
    m_install(&service);
  }
  ~ScopedService() { m_install(m_previous); }
  ScopedService(const ScopedService&) = delete;
  ScopedService& operator=(const ScopedService&) = delete;

 private:
  Interface* m_previous;
  void (*m_install)(Interface*);
};

}  // namespace velkaro
